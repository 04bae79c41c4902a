#include "engine/cleaning/cleaner.h"

#include "engine/cleaning/cleanupcommon.h"
#include "engine/dicom/datasetvisitor.h"
#include "engine/dicom/elementwalk.h"
#include "engine/dicom/vrvalue.h"

#include <gdcmDict.h>
#include <gdcmDicts.h>
#include <gdcmGlobal.h>
#include <gdcmPrivateTag.h>

#include <deque>

namespace Cleanup {

namespace {

using namespace CleanupCommon;
using Action = ConfidentialityProfile::Action;
using DicomFacts::IodType;
using ElementWalk::bytes;

const gdcm::Tag trailingPadding(0xfffc, 0xfffc);

// True for a code item of a private coding scheme (its designator begins with "99").
bool hasLocalCode(const gdcm::DataSet &dataSet)
{
    if (!dataSet.FindDataElement(codingSchemeDesignator) || !dataSet.FindDataElement(codeMeaning))
        return false;
    const std::string_view scheme
            = ElementWalk::trimmed(bytes(dataSet.GetDataElement(codingSchemeDesignator)));
    return scheme.substr(0, 2) == "99";
}

// A private element the Retain Safe Private option keeps: one that GDCM's dictionary of
// makers' elements knows under its creator as a number (acquisition parameters such as
// b-values and gradient directions); no text, whose content nobody can vouch for.
bool isSafePrivate(const gdcm::DataSet &dataSet, const gdcm::DataElement &element)
{
    const gdcm::Tag &tag = element.GetTag();
    if (!tag.IsPrivate() || tag.IsPrivateCreator() || tag.IsGroupLength())
        return false;
    const std::string creator(ElementWalk::trimmed(dataSet.GetPrivateCreator(tag)));
    if (creator.empty())
        return false;
    const gdcm::PrivateTag known(tag.GetGroup(), static_cast<uint16_t>(tag.GetElement() & 0xff),
                                 creator.c_str());
    const gdcm::PrivateDict &dict = gdcm::Global::GetInstance().GetDicts().GetPrivateDict();
    if (!dict.FindDictEntry(known))
        return false;
    const auto numeric = [](gdcm::VR::VRType vr) {
        switch (vr) {
        case gdcm::VR::US:
        case gdcm::VR::SS:
        case gdcm::VR::UL:
        case gdcm::VR::SL:
        case gdcm::VR::FL:
        case gdcm::VR::FD:
        case gdcm::VR::DS:
        case gdcm::VR::IS:
            return true;
        default:
            return false;
        }
    };
    const gdcm::VR::VRType stated = element.GetVR();
    return numeric(dict.GetDictEntry(known).GetVR())
            && (stated == gdcm::VR::INVALID || stated == gdcm::VR::UN || numeric(stated));
}

// Values an option's C can read for what they say: texts and numbers. Other bytes (OB,
// OW, UN...) cannot be judged.
bool canJudge(gdcm::VR::VRType vr)
{
    return VrValue::isText(vr) || vr == gdcm::VR::UI
            || (ElementWalk::holdsNoText(vr) && vr != gdcm::VR::OB && vr != gdcm::VR::OW
                && vr != gdcm::VR::OD && vr != gdcm::VR::OF && vr != gdcm::VR::OL
                && vr != gdcm::VR::OV);
}

// Overlay and curve data: bitmaps and samples no cleaning can read, which go with their
// groups as without the Clean Graphics option.
bool isGraphicData(const gdcm::Tag &tag)
{
    const quint16 g = tag.GetGroup() & 0xff00;
    return (g == 0x6000 && tag.GetElement() == 0x3000) || g == 0x5000;
}

bool isOverlayData(const gdcm::Tag &tag)
{
    return (tag.GetGroup() & 0xff00) == 0x6000 && tag.GetElement() == 0x3000;
}

} // namespace

// What the walk over one data set knows of it, and what it leaves to do once it is over: the
// elements to remove, the overlay groups whose data goes, and the groups whose lengths no
// longer hold.
struct Cleaner::Changes
{
    bool localCode = false; // a code item of a site's own scheme
    std::set<gdcm::Tag> safePrivate; // what Retain Safe Private keeps
    std::vector<gdcm::Tag> removals;
    std::set<quint16> changedGroups;
    std::set<quint16> overlaysRemoved;
};

// The standard's table over a data set and the items below it. Elements change in place as
// the walk meets them; what goes is removed once the walk over its data set is over.
class Cleaner::StandardWalk : public DataSetVisitor
{
public:
    explicit StandardWalk(Cleaner &cleaner) : m_cleaner(cleaner) { }

private:
    void begin(const Place &place) override
    {
        Changes &changes = m_levels.emplace_back();
        changes.localCode = hasLocalCode(place.dataSet);
        changes.safePrivate = m_cleaner.safePrivateOf(place.dataSet);
    }

    void element(const gdcm::DataElement &constElement, const Place &place) override
    {
        gdcm::DataElement &element = mutableElement(constElement);
        const gdcm::Tag tag = element.GetTag();
        Changes &changes = m_levels.back(); // a deque's elements stay where they are
        if (tag.GetGroup() == 0x0000 || tag == trailingPadding) {
            // A command or the padding of a transfer: nothing a stored file needs.
            changes.removals.push_back(tag);
            return;
        }
        // The meaning of a code of a site's own scheme is whatever the site typed.
        Action action = changes.localCode && tag == codeMeaning
                ? Action::Dummy
                : m_cleaner.actionFor(tag, place.depth);
        if (tag.IsPrivate() && (m_cleaner.m_record.options & StandardOptions::RetainSafePrivate))
            action = changes.safePrivate.count(tag) != 0 ? Action::Keep : Action::Remove;
        m_cleaner.applyToElement(element, action, *this, place, changes);
    }

    // True when anything in the data set changed, so that the item holding it is written
    // with its length made anew.
    bool end(const Place &place) override
    {
        // The data sets walked are the file's own, which the cleaning changes.
        gdcm::DataSet &dataSet = const_cast<gdcm::DataSet &>(place.dataSet);
        Changes &changes = m_levels.back();
        for (const gdcm::DataElement &element : dataSet.GetDES()) {
            // An overlay without its data is broken: the whole group goes.
            if (changes.overlaysRemoved.count(element.GetTag().GetGroup()) != 0)
                changes.removals.push_back(element.GetTag());
        }
        for (const gdcm::Tag &tag : changes.removals) {
            dataSet.Remove(tag);
            changes.changedGroups.insert(tag.GetGroup());
        }
        for (const quint16 group : changes.changedGroups)
            dataSet.Remove(gdcm::Tag(group, 0x0000));
        const bool changed = !changes.changedGroups.empty();
        m_levels.pop_back();
        return changed;
    }

    Cleaner &m_cleaner;
    std::deque<Changes> m_levels; // one for each data set the walk is in
};

void Cleaner::applyStandard(gdcm::DataSet &dataSet)
{
    StandardWalk(*this).walk(dataSet);
}

// One element of a data set under the table's action for it, once commands and padding are
// gone: what it writes, removes or walks into is noted in `changes`.
void Cleaner::applyToElement(gdcm::DataElement &element, Action action, DataSetVisitor &walk,
                             const Place &place, Changes &changes)
{
    const gdcm::Tag tag = element.GetTag();
    const gdcm::DataSet &dataSet = place.dataSet;
    const std::string &key = place.key;
    gdcm::SequenceOfItems *items = nullptr;
    if (m_record.written.count(key) != 0 && !tag.IsPrivate()) {
        // The profile's own text stands (private blocks go whole).
    } else if (place.depth == 0 && (tag == patientId || tag == patientName)) {
        setValue(element,
                 VrValue::padded(tag == patientId ? gdcm::VR::LO : gdcm::VR::PN,
                                 m_record.pseudonym));
        m_record.written.insert(key);
        changes.changedGroups.insert(tag.GetGroup());
    } else if (m_shiftDates && action != Action::Remove
               && isDate(ElementWalk::vrOf(element, dataSet))) {
        setValue(element, shifted(element, dataSet));
        m_record.written.insert(key);
        changes.changedGroups.insert(tag.GetGroup());
    } else if (action == Action::Remove || (action == Action::Clean && isGraphicData(tag))) {
        changes.removals.push_back(tag);
        if (isOverlayData(tag))
            changes.overlaysRemoved.insert(tag.GetGroup());
    } else if ((items = parsedSequence(element, dataSet)) != nullptr) {
        // An empty sequence is valid only where it must be present but may be empty;
        // where it may be left out instead, it is.
        if (action == Action::Zero && place.depth == 0 && typeOf(tag) != IodType::Type2
            && ConfidentialityProfile::mayRemove(tag.GetGroup(), tag.GetElement()))
            changes.removals.push_back(tag);
        else if (applyToSequence(element, *items, action, walk, place))
            changes.changedGroups.insert(tag.GetGroup());
    } else if (action == Action::Dummy || action == Action::Zero || action == Action::Uid) {
        setValue(element, replacement(element, dataSet, action));
        m_record.written.insert(key);
        changes.changedGroups.insert(tag.GetGroup());
    } else if ((action == Action::Clean || action == Action::ShiftDate)
               && !canJudge(ElementWalk::vrOf(element, dataSet))) {
        // Bytes that no reading can vouch for.
        setValue(element, "");
        m_record.written.insert(key);
        changes.changedGroups.insert(tag.GetGroup());
    } else if (!keptByOption(tag, action) && identifies(element, dataSet, place.charset)) {
        // Whatever the element is, a dummy valid for its VR keeps it valid: GDCM's
        // tables do not type every macro's attributes (code meanings, labels).
        setValue(element, replacement(element, dataSet, Action::Dummy));
        m_record.written.insert(key);
        changes.changedGroups.insert(tag.GetGroup());
    }
}

// The table's action for an element, and what the IOD makes of it: a removal or an empty
// value never takes what the IOD needs, at whatever level the element stands.
Action Cleaner::actionFor(const gdcm::Tag &tag, int depth)
{
    const StandardOptions::Set options = m_record.options;
    const Action plain = ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement(),
                                                        IodType::Unknown, options);
    if (plain == Action::None && typedByStaff(tag))
        return Action::Dummy;
    if (plain == Action::None || plain == Action::Keep || plain == Action::Clean
        || plain == Action::ShiftDate || tag.IsPrivate())
        return plain;
    // The table's codes that leave the choice to the IOD are resolved by it at the top
    // level; nested, by the table's own fallback (a reference keeps its items, with new
    // UIDs), since GDCM's tables cannot say at which level a type holds.
    const IodType type = typeOf(tag);
    Action action = ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement(),
                                                   depth == 0 ? type : IodType::Unknown, options);
    if (action == Action::Remove && !isOverlayData(tag)) {
        // Nested, GDCM's tables cannot say at which level a type holds: emptied, never
        // taken away.
        if (type == IodType::Type1)
            action = Action::Dummy;
        else if (type == IodType::Type2 || depth > 0)
            action = Action::Zero;
    }
    if (action == Action::Zero && type == IodType::Type1)
        action = Action::Dummy;
    return action;
}

// True where an option keeps what the table would not: the user chose to keep it as it is
// (whatever the residue check then finds in it is reported).
bool Cleaner::keptByOption(const gdcm::Tag &tag, Action action) const
{
    return action == Action::Keep && m_record.options != 0
            && ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement()) != Action::Keep;
}

// The private elements of a data set that Retain Safe Private keeps, with their creators.
std::set<gdcm::Tag> Cleaner::safePrivateOf(const gdcm::DataSet &dataSet) const
{
    std::set<gdcm::Tag> kept;
    if (!(m_record.options & StandardOptions::RetainSafePrivate))
        return kept;
    for (const gdcm::DataElement &element : dataSet.GetDES()) {
        if (isSafePrivate(dataSet, element)) {
            kept.insert(element.GetTag());
            kept.insert(element.GetTag().GetPrivateCreator());
        }
    }
    return kept;
}

// True for a value the table left alone that still names or identifies somebody: a person
// name, or a text the matcher finds.
bool Cleaner::identifies(const gdcm::DataElement &element, const gdcm::DataSet &owner,
                         const CharacterSet &charset) const
{
    const std::string_view value = ElementWalk::trimmed(bytes(element));
    if (value.empty())
        return false;
    const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
    if (vr == gdcm::VR::PN)
        return true;
    if (ElementWalk::holdsNoText(vr))
        return false;
    // A UID identifies only as an original one (it is then mapped); the numbers in class
    // and other UIDs are no dates or IDs.
    const bool originalUid = m_record.matcher.findUid(value);
    if (vr == gdcm::VR::UI || originalUid)
        return originalUid;
    return m_record.matcher.find(ElementWalk::text(element, vr, charset))
            != IdentifierMatcher::Kind::None;
}

} // namespace Cleanup
