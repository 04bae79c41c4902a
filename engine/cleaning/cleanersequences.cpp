#include "engine/cleaning/cleaner.h"

#include "engine/cleaning/cleanupcommon.h"
#include "engine/dicom/datasetvisitor.h"
#include "engine/dicom/elementwalk.h"
#include "engine/dicom/vrvalue.h"

namespace Cleanup {

namespace {

using namespace CleanupCommon;
using Action = ConfidentialityProfile::Action;
using ElementWalk::bytes;

const gdcm::Tag contentSequence(0x0040, 0xa730);

} // namespace

// Every value in a sequence's items, at every level, replaced by a dummy (new UIDs for UIDs):
// the items keep their shape, so the IOD still finds its codes, but nothing of the original.
// Every item and every sequence below is written with lengths made anew, and the group
// lengths of the items go.
class Cleaner::DummyFill : public DataSetVisitor
{
public:
    explicit DummyFill(Cleaner &cleaner) : m_cleaner(cleaner) { }

private:
    void element(const gdcm::DataElement &constElement, const Place &place) override
    {
        gdcm::DataElement &element = mutableElement(constElement);
        if (gdcm::SequenceOfItems *inner = m_cleaner.parsedSequence(element, place.dataSet)) {
            enter(*inner, place);
            element.SetVLToUndefined();
            inner->SetLengthToUndefined();
        } else if (!ElementWalk::trimmed(bytes(element)).empty()) {
            const gdcm::VR::VRType vr = ElementWalk::vrOf(element, place.dataSet);
            // Coded enumerations (CS) say what the item is, never who.
            if (m_cleaner.m_shiftDates && isDate(vr))
                setValue(element, m_cleaner.shifted(element, place.dataSet));
            else if ((VrValue::isText(vr) && vr != gdcm::VR::CS) || vr == gdcm::VR::UI)
                setValue(element, m_cleaner.replacement(element, place.dataSet, Action::Dummy));
        }
        m_cleaner.m_record.written.insert(place.key);
    }

    bool end(const Place &place) override
    {
        // Group lengths go once the walk is over: removing from the set it walks would leave
        // the walk on a freed node.
        gdcm::DataSet &dataSet = const_cast<gdcm::DataSet &>(place.dataSet);
        std::vector<gdcm::Tag> lengths;
        for (const gdcm::DataElement &length : dataSet.GetDES()) {
            if (length.GetTag().GetElement() == 0x0000)
                lengths.push_back(length.GetTag());
        }
        for (const gdcm::Tag &length : lengths)
            dataSet.Remove(length);
        return true;
    }

    Cleaner &m_cleaner;
};

// A sequence's items under the table: emptied (Z), filled with dummies (D) or cleaned
// item by item (U, K, or not named). True when anything changed.
bool Cleaner::applyToSequence(gdcm::DataElement &element, gdcm::SequenceOfItems &items,
                              Action action, DataSetVisitor &walk, const Place &place)
{
    if (action == Action::Zero) {
        emptySequence(element);
        m_record.written.insert(place.key);
        return true;
    }
    if (action != Action::None)
        m_record.written.insert(place.key);
    // An SR's content tree keeps its shape and codes: its texts, names and dates go by their
    // own entries of the table and by the matcher. Neither walk goes beyond the depth limit.
    const bool changed = action == Action::Dummy && element.GetTag() != contentSequence
            ? DummyFill(*this).walkItems(items, place)
            : walk.enter(items, place);
    if (changed) {
        element.SetVLToUndefined();
        items.SetLengthToUndefined();
    }
    return changed;
}

// The items of a sequence, parsed now where GDCM kept the sequence as bytes (a defined
// length in an implicit VR file, VR UN), so that they can be cleaned.
gdcm::SequenceOfItems *Cleaner::parsedSequence(gdcm::DataElement &element,
                                               const gdcm::DataSet &owner)
{
    if (gdcm::SequenceOfItems *items = ElementWalk::sequence(element))
        return items;
    const gdcm::SmartPointer<gdcm::SequenceOfItems> parsed = ElementWalk::itemsOf(element, owner);
    if (!parsed)
        return nullptr;
    element.SetValue(*parsed);
    element.SetVLToUndefined();
    return ElementWalk::sequence(element);
}

} // namespace Cleanup
