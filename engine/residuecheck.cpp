#include "engine/residuecheck.h"

#include "engine/elementwalk.h"

#include <gdcmFile.h>
#include <gdcmFileMetaInformation.h>
#include <gdcmSequenceOfItems.h>

#include <string>
#include <string_view>

namespace ResidueCheck {

namespace {

constexpr int maxDepth = 64;
// Values beyond this size (a whole encapsulated document or overlay) are not searched.
constexpr size_t searchedBytes = 64u << 20;

const gdcm::Tag pixelData(0x7fe0, 0x0010);
const gdcm::Tag trailingPadding(0xfffc, 0xfffc);

// Values that can hold no text: numbers in binary or decimal form, words of pixels.
bool holdsNoText(gdcm::VR::VRType vr)
{
    switch (vr) {
    case gdcm::VR::AT:
    case gdcm::VR::DS:
    case gdcm::VR::FD:
    case gdcm::VR::FL:
    case gdcm::VR::IS:
    case gdcm::VR::OD:
    case gdcm::VR::OF:
    case gdcm::VR::OL:
    case gdcm::VR::OV:
    case gdcm::VR::OW:
    case gdcm::VR::SL:
    case gdcm::VR::SS:
    case gdcm::VR::SV:
    case gdcm::VR::UL:
    case gdcm::VR::US:
    case gdcm::VR::UV:
        return true;
    default:
        return false;
    }
}

// Elements that describe the file or the encoding, not the patient.
bool structural(const gdcm::Tag &tag)
{
    if (tag.GetElement() == 0x0000 || tag == pixelData || tag == trailingPadding)
        return true;
    const quint16 e = tag.GetElement();
    return tag.GetGroup() == 0x0002 && (e == 0x0001 || e == 0x0002 || e == 0x0010);
}

class Search
{
public:
    Search(const Cleanup::Record &record, QStringList &found) : m_record(record), m_found(found)
    {
    }

    bool holdsCandidate(std::string_view value) const
    {
        if (value.size() > searchedBytes)
            return false;
        for (const std::string &candidate : m_record.candidates) {
            if (value.size() >= candidate.size() && value.find(candidate) != std::string_view::npos)
                return true;
        }
        return false;
    }

    void walk(const gdcm::DataSet &dataSet, std::string &key, int depth)
    {
        for (const gdcm::DataElement &element : dataSet.GetDES()) {
            const gdcm::Tag &tag = element.GetTag();
            if (structural(tag))
                continue;
            const size_t mark = key.size();
            ElementWalk::appendTag(key, tag);
            if (m_record.written.count(key) == 0)
                look(element, dataSet, key, depth);
            key.resize(mark);
        }
    }

private:
    void look(const gdcm::DataElement &element, const gdcm::DataSet &owner, std::string &key,
              int depth)
    {
        const gdcm::Tag &tag = element.GetTag();
        const bool named = m_record.names(tag.GetGroup(), tag.GetElement());
        if (const auto items = ElementWalk::itemsOf(element, owner)) {
            if (named && items->GetNumberOfItems() > 0)
                m_found.append(ElementWalk::describe(key));
            if (depth >= maxDepth)
                return;
            const size_t mark = key.size();
            for (gdcm::SequenceOfItems::SizeType i = 1; i <= items->GetNumberOfItems(); ++i) {
                ElementWalk::appendItem(key, static_cast<quint32>(i - 1));
                walk(items->GetItem(i).GetNestedDataSet(), key, depth + 1);
                key.resize(mark);
            }
            return;
        }
        const std::string_view value = ElementWalk::bytes(element);
        if (ElementWalk::trimmed(value).empty())
            return;
        bool residue = named;
        if (!residue) {
            const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
            residue = vr == gdcm::VR::PN || (!holdsNoText(vr) && holdsCandidate(value));
        }
        if (residue)
            m_found.append(ElementWalk::describe(key));
    }

    const Cleanup::Record &m_record;
    QStringList &m_found;
};

} // namespace

QStringList find(const gdcm::File &file, const Cleanup::Record &record)
{
    QStringList found;
    Search search(record, found);
    // The preamble is the file's own business; anything but zeros in it (a TIFF header, a
    // maker's notes) is unknown data the cleaning did not look at.
    const gdcm::Preamble &preamble = file.GetHeader().GetPreamble();
    if (!preamble.IsEmpty()) {
        const std::string_view bytes(preamble.GetInternal(), 128);
        if (bytes.find_first_not_of('\0') != std::string_view::npos)
            found.append(QStringLiteral("preamble"));
    }
    std::string key;
    search.walk(file.GetHeader(), key, 0);
    search.walk(file.GetDataSet(), key, 0);
    return found;
}

} // namespace ResidueCheck
