#include "engine/cleaning/cleaner.h"

#include "engine/cleaning/cleanupcommon.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"
#include "engine/dicom/vrvalue.h"

namespace Cleanup {

namespace {

using namespace CleanupCommon;
using Action = ConfidentialityProfile::Action;
using DicomFacts::maxSequenceDepth;
using ElementWalk::appendItem;
using ElementWalk::appendTag;
using ElementWalk::bytes;

const gdcm::Tag contentSequence(0x0040, 0xa730);

} // namespace

// A sequence's items under the table: emptied (Z), filled with dummies (D) or cleaned
// item by item (U, K, or not named). True when anything changed.
bool Cleaner::applyToSequence(gdcm::DataElement &element, gdcm::SequenceOfItems &items,
                              Action action, const CharacterSet &charset, std::string &key,
                              int depth)
{
    if (action == Action::Zero) {
        emptySequence(element);
        m_record.written.insert(key);
        return true;
    }
    if (action != Action::None)
        m_record.written.insert(key);
    if (depth >= maxSequenceDepth)
        return false;
    // An SR's content tree keeps its shape and codes: its texts, names and dates go by their
    // own entries of the table and by the matcher.
    const bool changed = action == Action::Dummy && element.GetTag() != contentSequence
            ? dummyItems(items, charset, key, depth)
            : walkItems(items, charset, key, depth);
    if (changed) {
        element.SetVLToUndefined();
        items.SetLengthToUndefined();
    }
    return changed;
}

// Every value in the items, at every level, replaced by a dummy (new UIDs for UIDs): the
// items keep their shape, so the IOD still finds its codes, but nothing of the original.
bool Cleaner::dummyItems(gdcm::SequenceOfItems &items, const CharacterSet &charset,
                         std::string &key, int depth)
{
    const size_t mark = key.size();
    for (gdcm::SequenceOfItems::SizeType i = 1; i <= items.GetNumberOfItems(); ++i) {
        gdcm::Item &item = items.GetItem(i);
        gdcm::DataSet &nested = item.GetNestedDataSet();
        appendItem(key, static_cast<quint32>(i - 1));
        for (const gdcm::DataElement &constElement : nested.GetDES()) {
            gdcm::DataElement &element = mutableElement(constElement);
            const size_t itemMark = key.size();
            appendTag(key, element.GetTag());
            if (gdcm::SequenceOfItems *inner = parsedSequence(element, nested)) {
                if (depth + 1 < maxSequenceDepth)
                    dummyItems(*inner, charset, key, depth + 1);
                element.SetVLToUndefined();
                inner->SetLengthToUndefined();
            } else if (!ElementWalk::trimmed(bytes(element)).empty()) {
                const gdcm::VR::VRType vr = ElementWalk::vrOf(element, nested);
                // Coded enumerations (CS) say what the item is, never who.
                if (m_shiftDates && isDate(vr))
                    setValue(element, shifted(element, nested));
                else if ((VrValue::isText(vr) && vr != gdcm::VR::CS) || vr == gdcm::VR::UI)
                    setValue(element, replacement(element, nested, Action::Dummy));
            }
            m_record.written.insert(key);
            key.resize(itemMark);
        }
        // Group lengths go once the walk is over: removing from the set it walks would leave
        // the walk on a freed node.
        std::vector<gdcm::Tag> lengths;
        for (const gdcm::DataElement &length : nested.GetDES()) {
            if (length.GetTag().GetElement() == 0x0000)
                lengths.push_back(length.GetTag());
        }
        for (const gdcm::Tag &length : lengths)
            nested.Remove(length);
        item.SetVLToUndefined();
        key.resize(mark);
    }
    return items.GetNumberOfItems() > 0;
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

bool Cleaner::walkItems(gdcm::SequenceOfItems &items, const CharacterSet &charset, std::string &key,
                        int depth)
{
    bool changed = false;
    const size_t mark = key.size();
    for (gdcm::SequenceOfItems::SizeType i = 1; i <= items.GetNumberOfItems(); ++i) {
        gdcm::Item &item = items.GetItem(i);
        appendItem(key, static_cast<quint32>(i - 1));
        if (applyStandard(item.GetNestedDataSet(), charset, key, depth + 1)) {
            item.SetVLToUndefined();
            changed = true;
        }
        key.resize(mark);
    }
    return changed;
}

} // namespace Cleanup
