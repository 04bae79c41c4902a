#include "engine/cleaning/cleaner.h"

#include "engine/cleaning/cleanupcommon.h"
#include "engine/cleaning/pseudonym.h"
#include "engine/cleaning/uidmap.h"
#include "engine/dicom/datasetvisitor.h"
#include "engine/dicom/elementwalk.h"
#include "engine/dicom/vrvalue.h"

#include <QStringList>

namespace Cleanup {

namespace {

using namespace CleanupCommon;
using ElementWalk::bytes;

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

// The values of a text element, decoded, one per value.
QStringList values(const gdcm::DataElement &element, const CharacterSet &charset)
{
    const std::string_view value = ElementWalk::trimmed(bytes(element));
    if (value.empty())
        return {};
    QStringList list = charset.decode(value).split(QLatin1Char('\\'));
    for (QString &v : list)
        v = v.trimmed();
    list.removeAll(QString());
    return list;
}

} // namespace

Cleaner::Cleaner(const gdcm::File &file, const Options &options, Record &record)
    : m_options(options), m_record(record), m_types(file),
      m_shiftDates(options.standard && (record.options & StandardOptions::ModifiedDates))
{ }

// The new UID for an element's UID, kept for the link file.
std::string Cleaner::newUid(const gdcm::DataElement &element)
{
    const std::string_view original = ElementWalk::trimmed(bytes(element));
    if (original.empty())
        return {};
    const std::string uid = m_options.uids->map(original);
    if (m_options.links && m_linked.insert(std::string(original)).second)
        m_record.links.push_back(
                { Link::Kind::Uid, tagText(element.GetTag()), std::string(original), uid });
    return VrValue::padded(gdcm::VR::UI, uid);
}

// The walk that gathers the matcher's inputs from the values as they were read: every person
// name, and the values the profile or the table names. Items beyond the depth limit are not
// read: the record says so, and the file is not cleaned.
class Cleaner::Gathering : public DataSetVisitor
{
public:
    explicit Gathering(Cleaner &cleaner) : DataSetVisitor(Keys::None), m_cleaner(cleaner) { }

private:
    void element(const gdcm::DataElement &element, const Place &place) override
    {
        if (const auto items = itemsOf(element, place.dataSet))
            enter(*items, place);
        else
            m_cleaner.gather(element, place.dataSet, place.charset);
    }

    Cleaner &m_cleaner;
};

void Cleaner::collect(const gdcm::DataSet &dataSet)
{
    Gathering gathering(*this);
    gathering.walk(dataSet);
    m_record.nestedTooDeeply = m_record.nestedTooDeeply || gathering.metItemsBeyondLimit();
}

// One element's values for the matcher, when they are of a kind it looks for.
void Cleaner::gather(const gdcm::DataElement &element, const gdcm::DataSet &owner,
                     const CharacterSet &charset)
{
    const gdcm::Tag &tag = element.GetTag();
    const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
    if (vr == gdcm::VR::PN) {
        // Every person's name, wherever it stands: a private block's too.
        for (QString &name : values(element, charset))
            m_matcherInputs.push_back({ IdentifierMatcher::Input::As::Name, std::move(name) });
        return;
    }
    // A private element's value is the maker's, rarely the patient's; the private
    // blocks are searched for the patient's values instead.
    // The dates Modified Dates moves are searched for in their original spellings.
    // What an option keeps is judged, not searched for.
    const bool named = (m_record.names(tag.GetGroup(), tag.GetElement())
                        && !m_record.keptByOption(tag.GetGroup(), tag.GetElement()))
            || (m_shiftDates && isDate(vr));
    if (tag.IsPrivate() || !named || !holdsIdentifyingText(vr))
        return;
    if (vr == gdcm::VR::UI) {
        m_record.matcher.addUid(ElementWalk::trimmed(bytes(element)));
        return;
    }
    const bool birthDate = tag == patientBirthDate;
    const bool id = !birthDate && ElementWalk::namesAnId(tag);
    using As = IdentifierMatcher::Input::As;
    for (QString &value : values(element, charset)) {
        if (birthDate)
            m_matcherInputs.push_back({ As::BirthDate, std::move(value) });
        else if (id)
            m_matcherInputs.push_back({ As::Id, std::move(value) });
        else if (vr == gdcm::VR::LT || vr == gdcm::VR::ST || vr == gdcm::VR::UT)
            continue; // comments and reports: their own element is what they name
        else
            m_matcherInputs.push_back(
                    { vr == gdcm::VR::DA || vr == gdcm::VR::DT ? As::Date : As::Text,
                      std::move(value) });
    }
}

// The matcher from what collect() gathered: the UIDs go in as they are found.
void Cleaner::buildMatcher()
{
    m_record.matcher.addAll(m_matcherInputs);
}

// A DA or DT value moved back by the patient's offset; a value that is no date a reader
// can take gives way to a dummy.
std::string Cleaner::shifted(const gdcm::DataElement &element, const gdcm::DataSet &owner) const
{
    const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
    const std::string_view value = ElementWalk::trimmed(bytes(element));
    if (value.empty())
        return {};
    const std::string moved
            = Pseudonym::shiftDate(value, vr == gdcm::VR::DT, m_record.dateOffsetDays);
    return VrValue::padded(vr, moved.empty() ? VrValue::dummy(vr) : moved);
}

// The value an action writes: a new UID, a dummy, or nothing.
std::string Cleaner::replacement(const gdcm::DataElement &element, const gdcm::DataSet &owner,
                                 Action action)
{
    const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
    if (action == Action::Uid || vr == gdcm::VR::UI)
        return newUid(element);
    if (action == Action::Dummy && vr != gdcm::VR::SQ && vr != gdcm::VR::INVALID)
        return VrValue::dummy(vr);
    return {};
}

} // namespace Cleanup
