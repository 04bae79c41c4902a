#include "engine/cleaning/cleanup.h"

#include "engine/cleaning/cleaner.h"
#include "engine/cleaning/cleanupcommon.h"
#include "engine/cleaning/confidentialityprofile.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"

#include <gdcmFile.h>

#include <algorithm>

namespace Cleanup {

namespace {

using namespace CleanupCommon;
using Action = ConfidentialityProfile::Action;
using DicomFacts::IodType;
using ElementWalk::bytes;

const gdcm::Tag issuerOfPatientId(0x0010, 0x0021);

// The meta group's elements that name the machines a file passed through (AE titles,
// presentation addresses) and their private information.
bool namesMachines(const gdcm::Tag &tag)
{
    if (tag.GetGroup() != 0x0002)
        return false;
    const quint16 e = tag.GetElement();
    return (e >= 0x0016 && e <= 0x0018) || (e >= 0x0026 && e <= 0x0028) || e == 0x0100
            || e == 0x0102;
}

// The file's patient as its top level names it, decoded by its character set: one name
// written in two character sets is one patient.
Pseudonym::Patient patientOf(const gdcm::DataSet &dataSet)
{
    const CharacterSet charset = ElementWalk::characterSet(dataSet, CharacterSet());
    const auto value = [&dataSet, &charset](const gdcm::Tag &tag) {
        return dataSet.FindDataElement(tag)
                ? charset.decode(ElementWalk::trimmed(bytes(dataSet.GetDataElement(tag))))
                          .trimmed()
                          .toStdString()
                : std::string();
    };
    return { value(issuerOfPatientId), value(patientId), value(patientName),
             value(patientBirthDate) };
}

} // namespace

bool Record::keptByOption(quint16 group, quint16 element) const
{
    if (options == 0)
        return false;
    const Action withOptions
            = ConfidentialityProfile::action(group, element, IodType::Unknown, options);
    return (withOptions == Action::Keep || withOptions == Action::Clean)
            && withOptions != ConfidentialityProfile::action(group, element);
}

bool Record::names(quint16 group, quint16 element) const
{
    const quint32 tag = (quint32(group) << 16) | element;
    if (std::binary_search(profileTags.begin(), profileTags.end(), tag))
        return true;
    const Action action = ConfidentialityProfile::action(group, element);
    const gdcm::Tag named(group, element);
    const Action withOptions = options != 0
            ? ConfidentialityProfile::action(group, element, IodType::Unknown, options)
            : action;
    // Dates Modified Dates moves are written anew; what it leaves (times) says nothing alone.
    if (withOptions == Action::ShiftDate)
        return false;
    return (action != Action::None && action != Action::Keep) || typedByStaff(named)
            || namesMachines(named);
}

void clean(gdcm::File &file, const CompiledProfile &profile, const Options &options, Record &record)
{
    record.options = options.standard ? options.standardOptions : 0;
    record.patient = patientOf(file.GetDataSet());
    if (options.standard) {
        record.pseudonym = Pseudonym::of(record.patient, *options.uids);
        if (record.options & StandardOptions::ModifiedDates)
            record.dateOffsetDays = Pseudonym::dateOffsetDays(record.patient, *options.uids);
    }
    record.profileTags.clear();
    for (const Replacement &replacement : profile) {
        // An entry that the standard clean-up's pseudonym or options take over names nothing.
        if (replacement.enabled
            && !(options.standard
                 && standardTakesOver(gdcm::Tag(replacement.group, replacement.element),
                                      record.options)))
            record.profileTags.push_back((quint32(replacement.group) << 16) | replacement.element);
    }
    std::sort(record.profileTags.begin(), record.profileTags.end());

    Cleaner cleaner(file, options, record);
    cleaner.collect(file.GetHeader());
    cleaner.collect(file.GetDataSet());
    if (record.nestedTooDeeply)
        return;
    cleaner.buildMatcher();
    cleaner.applyProfile(file, profile);
    if (options.standard) {
        cleaner.applyStandard(file.GetDataSet());
        // A data set the cleaning emptied is not written at all.
        if (!file.GetDataSet().IsEmpty())
            cleaner.describeMethod(file.GetDataSet());
        cleaner.freshMetaGroup(file.GetHeader());
        gdcm::Preamble &preamble = file.GetHeader().GetPreamble();
        if (!preamble.IsEmpty())
            preamble.Valid();
    }
    cleaner.followDataSet(file);
    if (options.links && options.standard) {
        // The issuer tells two patients of one ID from different sites apart.
        if (!record.patient.issuer.empty())
            record.links.insert(record.links.begin(),
                                { Link::Kind::PatientIdIssuer, tagText(issuerOfPatientId),
                                  record.patient.issuer, record.pseudonym });
        record.links.insert(
                record.links.begin(),
                { Link::Kind::PatientId, tagText(patientId), record.patient.id, record.pseudonym });
        if (record.dateOffsetDays != 0)
            record.links.push_back(
                    { Link::Kind::DateOffset, {}, {}, std::to_string(record.dateOffsetDays) });
    }
}

} // namespace Cleanup
