#include "engine/cleaning/residuecheck.h"

#include "engine/dicom/datasetvisitor.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"
#include "engine/job/fileoutcome.h"

#include <gdcmFile.h>
#include <gdcmFileMetaInformation.h>
#include <gdcmSequenceOfItems.h>

#include <string>
#include <string_view>

namespace ResidueCheck {

namespace {

// Elements that describe the file or the encoding, not the patient: group lengths, the pixel
// data (the image is judged apart), the meta group's version, SOP class and transfer syntax.
bool structural(const gdcm::Tag &tag)
{
    if ((tag.GetElement() == 0x0000 && tag.GetGroup() != 0x0000) || tag == DicomFacts::pixelData)
        return true;
    return DicomFacts::metaHoldsNoIdentifier(tag.GetGroup(), tag.GetElement());
}

// What an element that the profile or the table names holds, by its VR and keyword.
quint32 kindOfNamed(const gdcm::Tag &tag, gdcm::VR::VRType vr)
{
    if (tag.IsPrivate())
        return Residue::PrivateData;
    switch (vr) {
    case gdcm::VR::PN:
        return Residue::Names;
    case gdcm::VR::DA:
    case gdcm::VR::DT:
    case gdcm::VR::TM:
        return Residue::Dates;
    case gdcm::VR::UI:
        return Residue::Uids;
    default:
        break;
    }
    return ElementWalk::namesAnId(tag) ? quint32(Residue::Ids) : quint32(Residue::OtherDetails);
}

// The residue check's walk: every element at every level but the structural ones.
class Search : public DataSetVisitor
{
public:
    Search(const Cleanup::Record &record, Found &found) : m_record(record), m_found(found) { }

private:
    void add(const std::string &key, quint32 kind)
    {
        m_found.paths.append(ElementWalk::describe(key));
        m_found.kinds |= kind;
    }

    // An element the cleaning wrote is its own; a sequence it wrote may still hold items it
    // kept (a reference it walked, items an option kept), which are looked at one by one.
    void element(const gdcm::DataElement &element, const Place &place) override
    {
        const gdcm::Tag &tag = element.GetTag();
        if (structural(tag))
            return;
        const bool written = m_record.written.count(place.key) != 0;
        const bool named = !written && m_record.names(tag.GetGroup(), tag.GetElement());
        if (const auto items = itemsOf(element, place.dataSet)) {
            if (named && items->GetNumberOfItems() > 0)
                add(place.key, kindOfNamed(tag, gdcm::VR::SQ));
            enter(*items, place);
            return;
        }
        const std::string_view value = ElementWalk::bytes(element);
        if (written || ElementWalk::trimmed(value).empty())
            return;
        const gdcm::VR::VRType vr = ElementWalk::vrOf(element, place.dataSet);
        if (named)
            add(place.key, kindOfNamed(tag, vr));
        else if (vr == gdcm::VR::PN)
            add(place.key, Residue::Names);
        else if (!ElementWalk::holdsNoText(vr))
            lookInText(element, vr, place);
    }

    // A value of text, or of bytes that may hold text, that nobody named.
    void lookInText(const gdcm::DataElement &element, gdcm::VR::VRType vr, const Place &place)
    {
        if (m_record.matcher.findUid(ElementWalk::bytes(element))) {
            add(place.key, Residue::Uids);
            return;
        }
        if (vr == gdcm::VR::UI)
            return; // the numbers of other UIDs are no dates or IDs
        const IdentifierMatcher::Kind kind
                = m_record.matcher.find(ElementWalk::text(element, vr, place.charset));
        if (kind != IdentifierMatcher::Kind::None)
            add(place.key,
                kindOf(kind)
                        | (element.GetTag().IsPrivate() ? quint32(Residue::PrivateData) : 0u));
    }

    const Cleanup::Record &m_record;
    Found &m_found;
};

} // namespace

quint32 kindOf(IdentifierMatcher::Kind kind)
{
    switch (kind) {
    case IdentifierMatcher::Kind::Name:
        return Residue::Names;
    case IdentifierMatcher::Kind::Id:
        return Residue::Ids;
    case IdentifierMatcher::Kind::Date:
        return Residue::Dates;
    case IdentifierMatcher::Kind::Uid:
        return Residue::Uids;
    case IdentifierMatcher::Kind::Other:
        return Residue::OtherDetails;
    case IdentifierMatcher::Kind::None:
        break;
    }
    return 0;
}

Found find(const gdcm::File &file, const Cleanup::Record &record)
{
    Found found;
    Search search(record, found);
    // The preamble is the file's own business; anything but zeros in it (a TIFF header, a
    // maker's notes) is unknown data the cleaning did not look at.
    const gdcm::Preamble &preamble = file.GetHeader().GetPreamble();
    if (!preamble.IsEmpty()) {
        const std::string_view bytes(preamble.GetInternal(), 128);
        if (bytes.find_first_not_of('\0') != std::string_view::npos) {
            found.paths.append(QStringLiteral("preamble"));
            found.kinds |= Residue::OtherDetails;
        }
    }
    search.walk(file.GetHeader());
    search.walk(file.GetDataSet());
    return found;
}

} // namespace ResidueCheck
