#pragma once

#include "engine/cleaning/identifiermatcher.h"
#include "engine/cleaning/pseudonym.h"
#include "engine/cleaning/standardoptions.h"

#include <QByteArray>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

class LinkFile;
class UidMap;

namespace gdcm {
class File;
} // namespace gdcm

// The cleaning of one file's data set, in place: the tag profile at the top level and in the
// file meta group, and, when asked, the standard clean-up at every nesting level. Every value
// it writes is valid for its element's VR. Pure apart from the file it is given; safe on any
// thread as long as each call has its own file.
namespace Cleanup {

// One profile entry as a worker applies it.
struct Replacement
{
    quint16 group = 0;
    quint16 element = 0;
    bool enabled = false;
    QByteArray text; // UTF-8, up to the first zero byte of the entry's text
};
using CompiledProfile = std::vector<Replacement>;

// How the cleaning goes, as the window or the headless command set it: the part of a job's
// settings (FileAnonymizer::Options) that reaches the cleaning, handed on as it is.
struct Options
{
    bool standard = false; // the standard clean-up on top of the profile
    StandardOptions::Set standardOptions = 0; // the standard's options, applied with it only
    std::shared_ptr<const UidMap> uids = nullptr; // never null when the cleaning runs
    // The site's link file, when the job keeps one: the cleaning then keeps each
    // original-to-new pair in Record::links, for the job to append.
    std::shared_ptr<LinkFile> links = nullptr;
};

// One value the cleaning replaced by one a site can map back with its link file.
struct Link
{
    enum class Kind { PatientId, PatientIdIssuer, Uid, DateOffset };
    Kind kind = Kind::Uid;
    std::string element; // where it stood first, e.g. "(0020,000D)"
    std::string original; // as read (texts decoded to UTF-8), trailing padding removed
    std::string replacement;
};

// What the cleaning did and saw, for the residue check that follows it.
struct Record
{
    std::vector<quint32> profileTags; // (group << 16 | element) of the enabled entries, sorted
    std::unordered_set<std::string> written; // keys (ElementWalk) of the values it wrote
    // What identifies the people of the file, from its values before the cleaning: every
    // person name at any level, and the values of the elements that the profile or the
    // standard's table names (IDs, the birth date, UIDs, addresses, institutions...).
    IdentifierMatcher matcher;
    StandardOptions::Set options = 0; // the options the standard clean-up applied
    Pseudonym::Patient patient; // the file's patient, as read
    std::string pseudonym; // what stands for the patient (with the standard clean-up)
    int dateOffsetDays = 0; // how far dates moved back (Modified Dates), else 0
    std::vector<Link> links; // with Options::links; each original once
    // Items stand below the depth limit, inside a value GDCM kept as bytes: nothing of them
    // could be read, cleaned or checked, and the file was left as read.
    bool nestedTooDeeply = false;

    // True when an enabled profile entry or the standard's table (other than its K) names the
    // element, or the standard clean-up replaces it anyway (labels and descriptions people
    // type, the meta group's AE titles and private information). Every private element is
    // named by the table. What an applied option keeps, or cleans and leaves, stays named:
    // kept on purpose, it is still told. Times that Modified Dates keeps are not.
    bool names(quint16 group, quint16 element) const;

    // True where an applied option keeps (K) or cleans (C) what the table alone would not.
    bool keptByOption(quint16 group, quint16 element) const;
};

// Overwrites, in the profile's key order, every enabled entry's element that the data set
// holds at its top level, or the file meta group holds (except the elements that describe the
// file itself: its version, media storage SOP class and instance, and transfer syntax):
// - with the entry's text where the text is a valid value for the element's VR, else with a
//   zero-length value;
// - a UID (VR UI) with the UID map's new UID for it;
// - a sequence with an empty sequence;
// - a group length (gggg,0000) is left out of the copy.
// A file whose items stand below the depth limit inside a value GDCM kept as bytes is left as
// read, with Record::nestedTooDeeply set: none of it can be cleaned or checked.
// Absent elements are never added. With `options.standard`, the standard's table then applies
// to every element the profile did not write, at every nesting level (D a dummy value valid
// for the VR, Z zero length, X removed, U the new UID, K kept), private elements go with their
// creators, and the preamble is cleared. On top of the table it:
// - never removes or empties what the IOD needs: an X on an element the IOD types 1 or 2 (at
//   any level; GDCM's tables list nested attributes with their sequences' modules) becomes D or
//   Z, a Z on a Type 1 element D;
// - removes an overlay group whole when its overlay data goes, and command elements
//   (0000,xxxx) and the trailing padding (FFFC,FFFC) wherever they stand;
// - fills the items of a sequence the table marks D with dummies (codes included);
// - cleans every other text that the matcher finds identifying, and every person name it did
//   not write (zero length, or a dummy where the IOD needs a value);
// - writes the file meta group afresh: version, media storage SOP class and instance, transfer
//   syntax, and this program's implementation class UID and version name;
// - puts the patient's pseudonym (Pseudonym::of) in Patient ID and Patient's Name, in place of
//   the profile's texts, and removes other patient IDs;
// - applies `options.standardOptions`: an option's K keeps, its C cleans (the value stays unless the
//   matcher finds something in it; a value it cannot judge is emptied), Modified Dates moves
//   every DA and DT at every level, the birth date included, back by the patient's offset;
//   what an option keeps, cleans or moves, the profile's entry no longer writes;
// - says what it did: Patient Identity Removed, De-identification Method and its code
//   sequence (the profile and each option), Longitudinal Temporal Information Modified.
// The file meta group's media storage SOP instance UID follows the data set's SOP instance
// UID, and group lengths that no longer hold are left out.
void clean(gdcm::File &file, const CompiledProfile &profile, const Options &options,
           Record &record);

} // namespace Cleanup
