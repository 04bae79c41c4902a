#pragma once

#include "engine/cleaning/cleanup.h"
#include "engine/cleaning/confidentialityprofile.h"
#include "engine/dicom/characterset.h"
#include "engine/dicom/datasetvisitor.h"
#include "engine/dicom/iodtype.h"

#include <gdcmDataElement.h>
#include <gdcmDataSet.h>
#include <gdcmFile.h>
#include <gdcmFileMetaInformation.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTag.h>

#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace Cleanup {

// The cleaning of one file, step by step, for Cleanup::clean alone: the walk that gathers the
// values the matcher is built from, the profile's entries, the standard's table over every
// level, the file meta group and the method the data set reports. Its members are defined by
// step: the walk, the values for UIDs and the date shifts in cleaner.cpp, the profile's
// entries in cleanerprofile.cpp, the table in cleanerstandard.cpp, the sequences' items in
// cleanersequences.cpp, the meta group and the method in cleanermeta.cpp.
class Cleaner
{
public:
    using Action = ConfidentialityProfile::Action;

    Cleaner(const gdcm::File &file, const Options &options, Record &record);

    std::string newUid(const gdcm::DataElement &element);
    void collect(const gdcm::DataSet &dataSet);
    void buildMatcher();

    void applyProfile(gdcm::File &file, const CompiledProfile &profile);

    void applyStandard(gdcm::DataSet &dataSet);

    void freshMetaGroup(gdcm::FileMetaInformation &meta);
    void describeMethod(gdcm::DataSet &dataSet);
    void followDataSet(gdcm::File &file);

private:
    using Place = DataSetVisitor::Place;

    // The walk that gathers the matcher's inputs (cleaner.cpp).
    class Gathering;
    void gather(const gdcm::DataElement &element, const gdcm::DataSet &owner,
                const CharacterSet &charset);

    // The table, element by element (cleanerstandard.cpp).
    struct Changes;
    class StandardWalk;
    void applyToElement(gdcm::DataElement &element, Action action, DataSetVisitor &walk,
                        const Place &place, Changes &changes);
    Action actionFor(const gdcm::Tag &tag, int depth);
    DicomFacts::IodType typeOf(const gdcm::Tag &tag) { return m_types.of(tag); }
    bool keptByOption(const gdcm::Tag &tag, Action action) const;
    std::set<gdcm::Tag> safePrivateOf(const gdcm::DataSet &dataSet) const;
    bool identifies(const gdcm::DataElement &element, const gdcm::DataSet &owner,
                    const CharacterSet &charset) const;

    // The values written (cleaner.cpp).
    std::string shifted(const gdcm::DataElement &element, const gdcm::DataSet &owner) const;
    std::string replacement(const gdcm::DataElement &element, const gdcm::DataSet &owner,
                            Action action);

    // The sequences' items (cleanersequences.cpp).
    class DummyFill;
    bool applyToSequence(gdcm::DataElement &element, gdcm::SequenceOfItems &items, Action action,
                         DataSetVisitor &walk, const Place &place);
    gdcm::SequenceOfItems *parsedSequence(gdcm::DataElement &element, const gdcm::DataSet &owner);

    const Options &m_options;
    Record &m_record;
    std::vector<IdentifierMatcher::Input> m_matcherInputs; // gathered by collect()
    IodTypes m_types;
    const bool m_shiftDates; // Modified Dates: every DA and DT moves
    std::unordered_set<std::string> m_linked; // originals already in m_record.links
};

} // namespace Cleanup
