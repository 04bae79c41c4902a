#pragma once

#include <QByteArray>

#include <string>
#include <unordered_set>
#include <vector>

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

struct Options
{
    bool standard = false; // the standard clean-up on top of the profile
    const UidMap *uids = nullptr; // never null when the cleaning runs
};

// What the cleaning did and saw, for the residue check that follows it.
struct Record
{
    std::vector<quint32> profileTags; // (group << 16 | element) of the enabled entries, sorted
    std::unordered_set<std::string> written; // keys (ElementWalk) of the values it wrote
    // Identifying texts the file held before the cleaning: the values of the elements that the
    // profile or the standard's table names, at least four characters long, without padding.
    std::vector<std::string> candidates;

    // True when an enabled profile entry or the standard's table (other than its K) names the
    // element. Every private element is named by the table.
    bool names(quint16 group, quint16 element) const;
};

// Overwrites, in the profile's key order, every enabled entry's element that the data set
// holds at its top level, or the file meta group holds (except the elements that describe the
// file itself: its version, media storage SOP class and instance, and transfer syntax):
// - with the entry's text where the text is a valid value for the element's VR, else with a
//   zero-length value;
// - a UID (VR UI) with the UID map's new UID for it;
// - a sequence with an empty sequence;
// - a group length (gggg,0000) is left out of the copy.
// Absent elements are never added. With `options.standard`, the standard's table then applies
// to every element the profile did not write, at every nesting level (D a dummy value valid
// for the VR, Z zero length, X removed, U the new UID, K kept), private elements go with their
// creators, and the preamble is cleared. The file meta group's media storage SOP instance UID
// follows the data set's SOP instance UID, and group lengths that no longer hold are left out.
void clean(gdcm::File &file, const CompiledProfile &profile, const Options &options,
           Record &record);

} // namespace Cleanup
