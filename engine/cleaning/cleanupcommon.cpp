#include "engine/cleaning/cleanupcommon.h"

#include "engine/cleaning/confidentialityprofile.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"

namespace CleanupCommon {

using Action = ConfidentialityProfile::Action;
using DicomFacts::IodType;

bool describesFile(const gdcm::Tag &tag)
{
    return DicomFacts::describesFile(tag.GetGroup(), tag.GetElement());
}

bool standardTakesOver(const gdcm::Tag &tag, StandardOptions::Set options)
{
    if (tag == patientId || tag == patientName)
        return true;
    if (options == 0)
        return false;
    if (tag == patientBirthDate && (options & StandardOptions::ModifiedDates))
        return true;
    const Action withOptions = ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement(),
                                                              IodType::Unknown, options);
    return withOptions != ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement())
            && (withOptions == Action::Keep || withOptions == Action::Clean
                || withOptions == Action::ShiftDate);
}

std::string tagText(const gdcm::Tag &tag)
{
    std::string key;
    ElementWalk::appendTag(key, tag);
    return ElementWalk::describe(key).toStdString();
}

bool typedByStaff(const gdcm::Tag &tag)
{
    const quint16 g = tag.GetGroup();
    const quint16 e = tag.GetElement();
    if ((g & 0xff00) == 0x6000 && g % 2 == 0)
        return e == 0x0022 || e == 0x1500; // overlay description and label
    switch ((quint32(g) << 16) | e) {
    case 0x00189908: // potential reasons for procedure
    case 0x00209421: // dimension description label
    case 0x00209453: // frame label
    case 0x00281055: // window centre and width explanation
    case 0x00420010: // document title
    case 0x00700068: // graphic layer description
    case 0x00700080: // content label
    case 0x00700081: // content description
        return true;
    default:
        return false;
    }
}

} // namespace CleanupCommon
