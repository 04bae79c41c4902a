#include "engine/cleaning/cleaner.h"

#include "engine/cleaning/cleanupcommon.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"
#include "engine/dicom/vrvalue.h"

#include "appinfo.h"

#include <gdcmExplicitDataElement.h>

namespace Cleanup {

namespace {

using namespace CleanupCommon;
using DicomFacts::metaGroupLength;
using DicomFacts::sopInstanceUid;
using ElementWalk::appendTag;
using ElementWalk::bytes;

const gdcm::Tag mediaStorageSopInstanceUid(0x0002, 0x0003);
const gdcm::Tag patientIdentityRemoved(0x0012, 0x0062);
const gdcm::Tag deidentificationMethod(0x0012, 0x0063);
const gdcm::Tag deidentificationMethodCodes(0x0012, 0x0064);
const gdcm::Tag temporalInformationModified(0x0028, 0x0303);
const gdcm::Tag codeValue(0x0008, 0x0100);

} // namespace

// The file meta group written afresh: what describes the file, and this program as its
// writer; nothing else of the input's (source and receiving AE titles, private
// information).
void Cleaner::freshMetaGroup(gdcm::FileMetaInformation &meta)
{
    if (meta.IsEmpty())
        return;
    std::vector<gdcm::Tag> others;
    for (const gdcm::DataElement &element : meta.GetDES()) {
        if (!describesFile(element.GetTag()))
            others.push_back(element.GetTag());
    }
    for (const gdcm::Tag &tag : others)
        meta.Remove(tag);
    const auto put = [this, &meta](quint16 element, gdcm::VR::VRType vr, std::string_view text) {
        gdcm::DataElement added(gdcm::Tag(0x0002, element));
        added.SetVR(vr);
        setValue(added, VrValue::padded(vr, text));
        meta.Replace(added);
        std::string key;
        appendTag(key, added.GetTag());
        m_record.written.insert(key);
    };
    put(0x0012, gdcm::VR::UI, AppInfo::implementationClassUid);
    put(0x0013, gdcm::VR::SH, AppInfo::implementationVersionName);
    if (!meta.FindDataElement(metaGroupLength)) {
        gdcm::DataElement length(metaGroupLength);
        length.SetVR(gdcm::VR::UL);
        const char zero[4] = {};
        length.SetByteValue(zero, 4);
        meta.Insert(length);
    }
}

// What the cleaning did, as the data set says it to those who receive it: the patient's
// identity removed, the profile and each option by name and code, and what became of
// the dates.
void Cleaner::describeMethod(gdcm::DataSet &dataSet)
{
    std::string titles = StandardOptions::profileTitle;
    gdcm::SmartPointer<gdcm::SequenceOfItems> codes = new gdcm::SequenceOfItems;
    codes->SetLengthToUndefined();
    const auto addCode = [&codes](const char *value, const char *meaning) {
        gdcm::Item item;
        item.SetVLToUndefined();
        gdcm::DataSet &nested = item.GetNestedDataSet();
        const auto put
                = [&nested](const gdcm::Tag &tag, gdcm::VR::VRType vr, std::string_view text) {
                      gdcm::DataElement added(tag);
                      added.SetVR(vr);
                      setValue(added, VrValue::padded(vr, text));
                      nested.Replace(added);
                  };
        put(codeValue, gdcm::VR::SH, value);
        put(codingSchemeDesignator, gdcm::VR::SH, "DCM");
        put(codeMeaning, gdcm::VR::LO, meaning);
        codes->AddItem(item);
    };
    addCode(StandardOptions::profileCode, StandardOptions::profileTitle);
    for (const StandardOptions::Info &info : StandardOptions::all()) {
        if (m_record.options & info.option) {
            titles += std::string("\\") + info.title;
            addCode(info.code, info.title);
        }
    }
    const char *temporal = (m_record.options & StandardOptions::ModifiedDates) ? "MODIFIED"
            : (m_record.options & StandardOptions::RetainFullDates)            ? "UNMODIFIED"
                                                                               : "REMOVED";
    const auto put
            = [this, &dataSet](const gdcm::Tag &tag, gdcm::VR::VRType vr, std::string_view text) {
                  gdcm::DataElement added(tag);
                  added.SetVR(vr);
                  setValue(added, VrValue::padded(vr, text));
                  dataSet.Replace(added);
                  std::string key;
                  appendTag(key, tag);
                  m_record.written.insert(key);
                  dataSet.Remove(gdcm::Tag(tag.GetGroup(), 0x0000));
              };
    put(patientIdentityRemoved, gdcm::VR::CS, "YES");
    put(deidentificationMethod, gdcm::VR::LO, titles);
    put(temporalInformationModified, gdcm::VR::CS, temporal);
    gdcm::DataElement sequence(deidentificationMethodCodes);
    sequence.SetVR(gdcm::VR::SQ);
    sequence.SetValue(*codes);
    sequence.SetVLToUndefined();
    dataSet.Replace(sequence);
    std::string key;
    appendTag(key, deidentificationMethodCodes);
    m_record.written.insert(key);
}

void Cleaner::followDataSet(gdcm::File &file)
{
    // The meta group names the instance the file holds; without one in the data set, the
    // standard clean-up maps the meta group's own.
    gdcm::FileMetaInformation &meta = file.GetHeader();
    const gdcm::DataSet &dataSet = file.GetDataSet();
    if (meta.FindDataElement(mediaStorageSopInstanceUid)) {
        gdcm::DataElement &stored = mutableElement(meta.GetDataElement(mediaStorageSopInstanceUid));
        std::string instance;
        if (dataSet.FindDataElement(sopInstanceUid))
            instance = std::string(bytes(dataSet.GetDataElement(sopInstanceUid)));
        else if (m_options.standard)
            instance = newUid(stored);
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
        const char bytesLe[4]
                = { static_cast<char>(length & 0xff), static_cast<char>((length >> 8) & 0xff),
                    static_cast<char>((length >> 16) & 0xff),
                    static_cast<char>((length >> 24) & 0xff) };
        mutableElement(meta.GetDataElement(metaGroupLength)).SetByteValue(bytesLe, 4);
    }
}

} // namespace Cleanup
