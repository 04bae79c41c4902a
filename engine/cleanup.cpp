#include "engine/cleanup.h"

#include "engine/confidentialityprofile.h"
#include "engine/elementwalk.h"
#include "engine/iodtype.h"
#include "engine/uidmap.h"
#include "engine/vrvalue.h"

#include <gdcmExplicitDataElement.h>
#include <gdcmFile.h>
#include <gdcmFileMetaInformation.h>
#include <gdcmSequenceOfItems.h>

#include <algorithm>
#include <set>

namespace Cleanup {

namespace {

using Action = ConfidentialityProfile::Action;
using ElementWalk::appendItem;
using ElementWalk::appendTag;
using ElementWalk::bytes;

// As deep as the structural check lets a file nest.
constexpr int maxDepth = 64;
constexpr size_t minimumCandidate = 4;

const gdcm::Tag sopInstanceUid(0x0008, 0x0018);
const gdcm::Tag mediaStorageSopInstanceUid(0x0002, 0x0003);
const gdcm::Tag metaGroupLength(0x0002, 0x0000);

// The file meta elements that describe the file itself; the cleaning keeps them consistent
// with the data set it writes instead of overwriting them.
bool describesFile(const gdcm::Tag &tag)
{
    const quint16 e = tag.GetElement();
    return tag.GetGroup() == 0x0002 && (e == 0x0000 || e == 0x0001 || e == 0x0002 || e == 0x0003
                                        || e == 0x0010);
}

// Elements live in a std::set ordered by tag; their values may change in place as long as the
// tag stays, which spares a search per change and keeps the walk's iterator valid.
gdcm::DataElement &mutableElement(const gdcm::DataElement &element)
{
    return const_cast<gdcm::DataElement &>(element);
}

void setValue(gdcm::DataElement &element, const std::string &value)
{
    element.SetByteValue(value.data(), gdcm::VL(static_cast<uint32_t>(value.size())));
}

void emptySequence(gdcm::DataElement &element)
{
    // No text can stand in a sequence (GDCM aborts the process when asked to write one), and
    // its items may hold anything: it is kept, emptied.
    gdcm::SmartPointer<gdcm::SequenceOfItems> empty = new gdcm::SequenceOfItems;
    element.SetVR(gdcm::VR::SQ);
    element.SetValue(*empty);
    element.SetVLToUndefined();
}

bool isSequence(const gdcm::DataElement &element, gdcm::VR::VRType vr)
{
    return vr == gdcm::VR::SQ || ElementWalk::sequence(element) != nullptr;
}

std::string newUid(const gdcm::DataElement &element, const Options &options)
{
    const std::string_view original = ElementWalk::trimmed(bytes(element));
    if (original.empty())
        return {};
    return VrValue::padded(gdcm::VR::UI, options.uids->map(original));
}

// The texts a name, an ID, a date or a UID is written in; codes, numbers and ages are too
// short and too common to be told apart from other values.
bool holdsIdentifyingText(gdcm::VR::VRType vr)
{
    switch (vr) {
    case gdcm::VR::AE:
    case gdcm::VR::DA:
    case gdcm::VR::DT:
    case gdcm::VR::LO:
    case gdcm::VR::LT:
    case gdcm::VR::PN:
    case gdcm::VR::SH:
    case gdcm::VR::ST:
    case gdcm::VR::UC:
    case gdcm::VR::UI:
    case gdcm::VR::UR:
    case gdcm::VR::UT:
        return true;
    default:
        return false;
    }
}

class Cleaner
{
public:
    Cleaner(const gdcm::File &file, const Options &options, Record &record)
        : m_options(options), m_record(record), m_types(file)
    {
    }

    void collect(const gdcm::DataSet &dataSet, int depth)
    {
        for (const gdcm::DataElement &element : dataSet.GetDES()) {
            const gdcm::Tag &tag = element.GetTag();
            if (const auto items = ElementWalk::itemsOf(element, dataSet)) {
                if (depth >= maxDepth)
                    continue;
                for (gdcm::SequenceOfItems::SizeType i = 1; i <= items->GetNumberOfItems(); ++i)
                    collect(items->GetItem(i).GetNestedDataSet(), depth + 1);
                continue;
            }
            // A private element's value is the maker's, rarely the patient's; the private
            // blocks are searched for the patient's values instead.
            if (tag.IsPrivate() || !m_record.names(tag.GetGroup(), tag.GetElement()))
                continue;
            if (!holdsIdentifyingText(ElementWalk::vrOf(element, dataSet)))
                continue;
            std::string_view value = bytes(element);
            while (!value.empty()) {
                const size_t split = std::min(value.find('\\'), value.size());
                addCandidate(ElementWalk::trimmed(value.substr(0, split)));
                value.remove_prefix(std::min(split + 1, value.size()));
            }
        }
    }

    void applyProfile(gdcm::File &file, const CompiledProfile &profile)
    {
        gdcm::DataSet &dataSet = file.GetDataSet();
        gdcm::FileMetaInformation &meta = file.GetHeader();
        std::set<quint16> changedGroups;
        std::set<quint32> mapped; // a UID is mapped once, however many entries name it
        for (const Replacement &replacement : profile) {
            if (!replacement.enabled)
                continue;
            const gdcm::Tag tag(replacement.group, replacement.element);
            const bool inMeta = replacement.group == 0x0002;
            if (inMeta && describesFile(tag))
                continue;
            gdcm::DataSet &owner = inMeta ? static_cast<gdcm::DataSet &>(meta) : dataSet;
            if (!owner.FindDataElement(tag))
                continue;
            if (replacement.element == 0x0000) {
                // A group length is retired and no reader needs it; text in it would make a
                // reader that trusts it misread what follows.
                owner.Remove(tag);
                continue;
            }
            gdcm::DataElement &element = mutableElement(owner.GetDataElement(tag));
            const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
            std::string key;
            appendTag(key, tag);
            m_record.written.insert(key);
            changedGroups.insert(replacement.group);
            if (isSequence(element, vr)) {
                emptySequence(element);
            } else if (vr == gdcm::VR::UI) {
                if (mapped.insert(tag.GetElementTag()).second)
                    setValue(element, newUid(element, m_options));
            } else {
                const std::string_view text(replacement.text.constData(),
                                            static_cast<size_t>(replacement.text.size()));
                // A text the VR cannot hold leaves the value empty, or, where the IOD says it
                // must have one, a harmless dummy.
                if (VrValue::fits(vr, text))
                    setValue(element, VrValue::padded(vr, text));
                else if (m_types.of(tag) == 1)
                    setValue(element, VrValue::dummy(vr));
                else
                    setValue(element, "");
            }
        }
        for (const quint16 group : changedGroups) {
            if (group != 0x0002)
                dataSet.Remove(gdcm::Tag(group, 0x0000));
        }
    }

    // The standard's table over one data set and the items below it. True when anything in
    // it changed, so that the sequence holding it is written with lengths made anew.
    bool applyStandard(gdcm::DataSet &dataSet, std::string &key, int depth)
    {
        std::vector<gdcm::Tag> removals;
        std::set<quint16> changedGroups;
        for (const gdcm::DataElement &constElement : dataSet.GetDES()) {
            gdcm::DataElement &element = mutableElement(constElement);
            const gdcm::Tag tag = element.GetTag();
            const size_t mark = key.size();
            appendTag(key, tag);
            // The IODs type the top level only; nested, the table's fallback applies.
            const int type = depth == 0
                            && ConfidentialityProfile::dependsOnType(tag.GetGroup(),
                                                                     tag.GetElement())
                    ? m_types.of(tag)
                    : 0;
            const Action action =
                    ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement(), type);
            gdcm::SequenceOfItems *items = nullptr;
            if (m_record.written.count(key) != 0 && !tag.IsPrivate()) {
                // The profile's own text stands (private blocks go whole).
            } else if (action == Action::Remove) {
                removals.push_back(tag);
            } else if ((items = parsedSequence(element, dataSet)) != nullptr) {
                // An empty sequence is valid only where it must be present but may be empty;
                // where it may be left out instead, it is.
                if (action == Action::Zero && type != 2
                    && ConfidentialityProfile::mayRemove(tag.GetGroup(), tag.GetElement())) {
                    removals.push_back(tag);
                    key.resize(mark);
                    continue;
                }
                if (action == Action::Zero) {
                    emptySequence(element);
                    m_record.written.insert(key);
                    changedGroups.insert(tag.GetGroup());
                    key.resize(mark);
                    continue;
                }
                // A sequence the table keeps (D, U, K) is kept with its items cleaned.
                if (action != Action::None)
                    m_record.written.insert(key);
                if (depth < maxDepth && walkItems(*items, key, depth)) {
                    element.SetVLToUndefined();
                    items->SetLengthToUndefined();
                    changedGroups.insert(tag.GetGroup());
                }
            } else if (action == Action::Dummy || action == Action::Zero
                       || action == Action::Uid) {
                const gdcm::VR::VRType vr = ElementWalk::vrOf(element, dataSet);
                std::string value;
                if (action == Action::Uid || vr == gdcm::VR::UI)
                    value = newUid(element, m_options);
                else if (action == Action::Dummy && vr != gdcm::VR::SQ)
                    value = VrValue::dummy(vr);
                setValue(element, value);
                m_record.written.insert(key);
                changedGroups.insert(tag.GetGroup());
            }
            key.resize(mark);
        }
        for (const gdcm::Tag &tag : removals) {
            dataSet.Remove(tag);
            changedGroups.insert(tag.GetGroup());
        }
        for (const quint16 group : changedGroups)
            dataSet.Remove(gdcm::Tag(group, 0x0000));
        return !changedGroups.empty();
    }

    void followDataSet(gdcm::File &file)
    {
        // The meta group names the instance the file holds; without one in the data set, the
        // standard clean-up maps the meta group's own.
        gdcm::FileMetaInformation &meta = file.GetHeader();
        const gdcm::DataSet &dataSet = file.GetDataSet();
        if (meta.FindDataElement(mediaStorageSopInstanceUid)) {
            gdcm::DataElement &stored =
                    mutableElement(meta.GetDataElement(mediaStorageSopInstanceUid));
            std::string instance;
            if (dataSet.FindDataElement(sopInstanceUid))
                instance = std::string(bytes(dataSet.GetDataElement(sopInstanceUid)));
            else if (m_options.standard)
                instance = newUid(stored, m_options);
            else
                instance = std::string(bytes(stored));
            if (ElementWalk::trimmed(bytes(stored)) != ElementWalk::trimmed(instance)) {
                setValue(stored, instance);
                std::string key;
                appendTag(key, mediaStorageSopInstanceUid);
                m_record.written.insert(key);
            }
        }
        if (meta.FindDataElement(metaGroupLength)) {
            const uint32_t length = meta.ComputeGroupLength<gdcm::ExplicitDataElement>(metaGroupLength);
            const char bytesLe[4] = { static_cast<char>(length & 0xff),
                                      static_cast<char>((length >> 8) & 0xff),
                                      static_cast<char>((length >> 16) & 0xff),
                                      static_cast<char>((length >> 24) & 0xff) };
            mutableElement(meta.GetDataElement(metaGroupLength)).SetByteValue(bytesLe, 4);
        }
    }

private:
    // The items of a sequence, parsed now where GDCM kept the sequence as bytes (a defined
    // length in an implicit VR file, VR UN), so that they can be cleaned.
    gdcm::SequenceOfItems *parsedSequence(gdcm::DataElement &element, const gdcm::DataSet &owner)
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

    bool walkItems(gdcm::SequenceOfItems &items, std::string &key, int depth)
    {
        bool changed = false;
        const size_t mark = key.size();
        for (gdcm::SequenceOfItems::SizeType i = 1; i <= items.GetNumberOfItems(); ++i) {
            gdcm::Item &item = items.GetItem(i);
            appendItem(key, static_cast<quint32>(i - 1));
            if (applyStandard(item.GetNestedDataSet(), key, depth + 1)) {
                item.SetVLToUndefined();
                changed = true;
            }
            key.resize(mark);
        }
        return changed;
    }

    void addCandidate(std::string_view value)
    {
        if (value.size() < minimumCandidate)
            return;
        std::string text(value);
        if (std::find(m_record.candidates.begin(), m_record.candidates.end(), text)
            == m_record.candidates.end())
            m_record.candidates.push_back(std::move(text));
    }

    const Options &m_options;
    Record &m_record;
    IodTypes m_types;
};

} // namespace

bool Record::names(quint16 group, quint16 element) const
{
    const quint32 tag = (quint32(group) << 16) | element;
    if (std::binary_search(profileTags.begin(), profileTags.end(), tag))
        return true;
    const Action action = ConfidentialityProfile::action(group, element);
    return action != Action::None && action != Action::Keep;
}

void clean(gdcm::File &file, const CompiledProfile &profile, const Options &options,
           Record &record)
{
    record.profileTags.clear();
    for (const Replacement &replacement : profile) {
        if (replacement.enabled)
            record.profileTags.push_back((quint32(replacement.group) << 16) | replacement.element);
    }
    std::sort(record.profileTags.begin(), record.profileTags.end());

    Cleaner cleaner(file, options, record);
    cleaner.collect(file.GetHeader(), 0);
    cleaner.collect(file.GetDataSet(), 0);
    cleaner.applyProfile(file, profile);
    if (options.standard) {
        std::string key;
        cleaner.applyStandard(file.GetDataSet(), key, 0);
        gdcm::Preamble &preamble = file.GetHeader().GetPreamble();
        if (!preamble.IsEmpty())
            preamble.Valid();
    }
    cleaner.followDataSet(file);
}

} // namespace Cleanup
