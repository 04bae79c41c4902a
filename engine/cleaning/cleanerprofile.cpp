#include "engine/cleaning/cleaner.h"

#include "engine/cleaning/cleanupcommon.h"
#include "engine/dicom/elementwalk.h"
#include "engine/dicom/vrvalue.h"

namespace Cleanup {

namespace {

using namespace CleanupCommon;
using DicomFacts::IodType;
using ElementWalk::appendTag;

bool isSequence(const gdcm::DataElement &element, gdcm::VR::VRType vr)
{
    return vr == gdcm::VR::SQ || ElementWalk::sequence(element) != nullptr;
}

} // namespace

void Cleaner::applyProfile(gdcm::File &file, const CompiledProfile &profile)
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
        // The standard clean-up writes the whole meta group afresh.
        if (inMeta && (describesFile(tag) || m_options.standard))
            continue;
        if (m_options.standard && standardTakesOver(tag, m_record.options))
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
        if (m_shiftDates && isDate(vr))
            continue; // moved by the standard clean-up instead
        std::string key;
        appendTag(key, tag);
        m_record.written.insert(key);
        changedGroups.insert(replacement.group);
        if (isSequence(element, vr)) {
            emptySequence(element);
        } else if (vr == gdcm::VR::UI) {
            if (mapped.insert(tag.GetElementTag()).second)
                setValue(element, newUid(element));
        } else {
            const std::string_view text(replacement.text.constData(),
                                        static_cast<size_t>(replacement.text.size()));
            // A text the VR cannot hold leaves the value empty, or, where the IOD says it
            // must have one, a harmless dummy.
            if (VrValue::fits(vr, text))
                setValue(element, VrValue::padded(vr, text));
            else if (m_types.of(tag) == IodType::Type1)
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

} // namespace Cleanup
