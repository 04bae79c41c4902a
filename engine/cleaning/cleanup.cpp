#include "engine/cleaning/cleanup.h"

#include "engine/cleaning/confidentialityprofile.h"
#include "engine/cleaning/uidmap.h"
#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"
#include "engine/dicom/iodtype.h"
#include "engine/dicom/vrvalue.h"

#include "appinfo.h"

#include <QStringList>

#include <gdcmDict.h>
#include <gdcmDicts.h>
#include <gdcmExplicitDataElement.h>
#include <gdcmFile.h>
#include <gdcmFileMetaInformation.h>
#include <gdcmGlobal.h>
#include <gdcmPrivateTag.h>
#include <gdcmSequenceOfItems.h>

#include <algorithm>
#include <set>

namespace Cleanup {

namespace {

using Action = ConfidentialityProfile::Action;
using ElementWalk::appendItem;
using ElementWalk::appendTag;
using ElementWalk::bytes;
using StandardOptions::Option;

using DicomFacts::IodType;
using DicomFacts::maxSequenceDepth;
using DicomFacts::metaGroupLength;
using DicomFacts::sopInstanceUid;

const gdcm::Tag mediaStorageSopInstanceUid(0x0002, 0x0003);
const gdcm::Tag patientBirthDate(0x0010, 0x0030);
const gdcm::Tag patientName(0x0010, 0x0010);
const gdcm::Tag patientId(0x0010, 0x0020);
const gdcm::Tag issuerOfPatientId(0x0010, 0x0021);
const gdcm::Tag patientIdentityRemoved(0x0012, 0x0062);
const gdcm::Tag deidentificationMethod(0x0012, 0x0063);
const gdcm::Tag deidentificationMethodCodes(0x0012, 0x0064);
const gdcm::Tag temporalInformationModified(0x0028, 0x0303);
const gdcm::Tag codeValue(0x0008, 0x0100);
const gdcm::Tag trailingPadding(0xfffc, 0xfffc);
const gdcm::Tag contentSequence(0x0040, 0xa730);
const gdcm::Tag codingSchemeDesignator(0x0008, 0x0102);
const gdcm::Tag codeMeaning(0x0008, 0x0104);

// True for a code item of a private coding scheme (its designator begins with "99").
bool hasLocalCode(const gdcm::DataSet &dataSet)
{
    if (!dataSet.FindDataElement(codingSchemeDesignator) || !dataSet.FindDataElement(codeMeaning))
        return false;
    const std::string_view scheme
            = ElementWalk::trimmed(bytes(dataSet.GetDataElement(codingSchemeDesignator)));
    return scheme.substr(0, 2) == "99";
}

bool describesFile(const gdcm::Tag &tag)
{
    return DicomFacts::describesFile(tag.GetGroup(), tag.GetElement());
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

bool isDate(gdcm::VR::VRType vr)
{
    return vr == gdcm::VR::DA || vr == gdcm::VR::DT;
}

// True when the standard clean-up with `options` writes the element itself where a profile
// entry would: the pseudonym in the patient's name and ID, the moved birth date, and what an
// option keeps, cleans or moves. (Dates of other elements are known by their VR only; see
// applyProfile.)
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

// A private element the Retain Safe Private option keeps: one that GDCM's dictionary of
// makers' elements knows under its creator as a number (acquisition parameters such as
// b-values and gradient directions); no text, whose content nobody can vouch for.
bool isSafePrivate(const gdcm::DataSet &dataSet, const gdcm::DataElement &element)
{
    const gdcm::Tag &tag = element.GetTag();
    if (!tag.IsPrivate() || tag.IsPrivateCreator() || tag.IsGroupLength())
        return false;
    const std::string creator(ElementWalk::trimmed(dataSet.GetPrivateCreator(tag)));
    if (creator.empty())
        return false;
    const gdcm::PrivateTag known(tag.GetGroup(), static_cast<uint16_t>(tag.GetElement() & 0xff),
                                 creator.c_str());
    const gdcm::PrivateDict &dict = gdcm::Global::GetInstance().GetDicts().GetPrivateDict();
    if (!dict.FindDictEntry(known))
        return false;
    const auto numeric = [](gdcm::VR::VRType vr) {
        switch (vr) {
        case gdcm::VR::US:
        case gdcm::VR::SS:
        case gdcm::VR::UL:
        case gdcm::VR::SL:
        case gdcm::VR::FL:
        case gdcm::VR::FD:
        case gdcm::VR::DS:
        case gdcm::VR::IS:
            return true;
        default:
            return false;
        }
    };
    const gdcm::VR::VRType stated = element.GetVR();
    return numeric(dict.GetDictEntry(known).GetVR())
            && (stated == gdcm::VR::INVALID || stated == gdcm::VR::UN || numeric(stated));
}

std::string tagText(const gdcm::Tag &tag)
{
    std::string key;
    appendTag(key, tag);
    return ElementWalk::describe(key).toStdString();
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

// Labels and descriptions that people type, which the table does not name: they hold
// whatever the person typing had in mind, a name or an ID of another file included, which
// no matcher built from this file can know. Replaced by a dummy (most are Type 1).
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

class Cleaner
{
public:
    Cleaner(const gdcm::File &file, const Options &options, Record &record)
        : m_options(options), m_record(record), m_types(file),
          m_shiftDates(options.standard && (record.options & StandardOptions::ModifiedDates))
    { }

    // The new UID for an element's UID, kept for the link file.
    std::string newUid(const gdcm::DataElement &element)
    {
        const std::string_view original = ElementWalk::trimmed(bytes(element));
        if (original.empty())
            return {};
        const std::string uid = m_options.uids->map(original);
        if (m_options.recordLinks && m_linked.insert(std::string(original)).second)
            m_record.links.push_back(
                    { Link::Kind::Uid, tagText(element.GetTag()), std::string(original), uid });
        return VrValue::padded(gdcm::VR::UI, uid);
    }

    void collect(const gdcm::DataSet &dataSet, const CharacterSet &around, int depth)
    {
        const CharacterSet charset = ElementWalk::characterSet(dataSet, around);
        for (const gdcm::DataElement &element : dataSet.GetDES()) {
            const gdcm::Tag &tag = element.GetTag();
            if (const auto items = ElementWalk::itemsOf(element, dataSet)) {
                if (depth >= maxSequenceDepth)
                    continue;
                for (gdcm::SequenceOfItems::SizeType i = 1; i <= items->GetNumberOfItems(); ++i)
                    collect(items->GetItem(i).GetNestedDataSet(), charset, depth + 1);
                continue;
            }
            const gdcm::VR::VRType vr = ElementWalk::vrOf(element, dataSet);
            if (vr == gdcm::VR::PN) {
                // Every person's name, wherever it stands: a private block's too.
                for (QString &name : values(element, charset))
                    m_matcherInputs.push_back(
                            { IdentifierMatcher::Input::As::Name, std::move(name) });
                continue;
            }
            // A private element's value is the maker's, rarely the patient's; the private
            // blocks are searched for the patient's values instead.
            // The dates Modified Dates moves are searched for in their original spellings.
            // What an option keeps is judged, not searched for.
            const bool named = (m_record.names(tag.GetGroup(), tag.GetElement())
                                && !m_record.keptByOption(tag.GetGroup(), tag.GetElement()))
                    || (m_shiftDates && isDate(vr));
            if (tag.IsPrivate() || !named || !holdsIdentifyingText(vr))
                continue;
            if (vr == gdcm::VR::UI) {
                m_record.matcher.addUid(ElementWalk::trimmed(bytes(element)));
                continue;
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
    }

    // The matcher from what collect() gathered: the UIDs go in as they are found.
    void buildMatcher() { m_record.matcher.addAll(m_matcherInputs); }

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

    // The standard's table over one data set and the items below it. True when anything in
    // it changed, so that the sequence holding it is written with lengths made anew.
    bool applyStandard(gdcm::DataSet &dataSet, const CharacterSet &around, std::string &key,
                       int depth)
    {
        const CharacterSet charset = ElementWalk::characterSet(dataSet, around);
        std::vector<gdcm::Tag> removals;
        std::set<quint16> changedGroups;
        std::set<quint16> overlaysRemoved;
        const bool localCode = hasLocalCode(dataSet);
        const std::set<gdcm::Tag> safePrivate = safePrivateOf(dataSet);
        for (const gdcm::DataElement &constElement : dataSet.GetDES()) {
            gdcm::DataElement &element = mutableElement(constElement);
            const gdcm::Tag tag = element.GetTag();
            if (tag.GetGroup() == 0x0000 || tag == trailingPadding) {
                // A command or the padding of a transfer: nothing a stored file needs.
                removals.push_back(tag);
                continue;
            }
            const size_t mark = key.size();
            appendTag(key, tag);
            // The meaning of a code of a site's own scheme is whatever the site typed.
            Action action = localCode && tag == codeMeaning ? Action::Dummy : actionFor(tag, depth);
            if (tag.IsPrivate() && (m_record.options & StandardOptions::RetainSafePrivate))
                action = safePrivate.count(tag) != 0 ? Action::Keep : Action::Remove;
            gdcm::SequenceOfItems *items = nullptr;
            if (m_record.written.count(key) != 0 && !tag.IsPrivate()) {
                // The profile's own text stands (private blocks go whole).
            } else if (depth == 0 && (tag == patientId || tag == patientName)) {
                setValue(element,
                         VrValue::padded(tag == patientId ? gdcm::VR::LO : gdcm::VR::PN,
                                         m_record.pseudonym));
                m_record.written.insert(key);
                changedGroups.insert(tag.GetGroup());
            } else if (m_shiftDates && action != Action::Remove
                       && isDate(ElementWalk::vrOf(element, dataSet))) {
                setValue(element, shifted(element, dataSet));
                m_record.written.insert(key);
                changedGroups.insert(tag.GetGroup());
            } else if (action == Action::Remove
                       || (action == Action::Clean && isGraphicData(tag))) {
                removals.push_back(tag);
                if (isOverlayData(tag))
                    overlaysRemoved.insert(tag.GetGroup());
            } else if ((items = parsedSequence(element, dataSet)) != nullptr) {
                // An empty sequence is valid only where it must be present but may be empty;
                // where it may be left out instead, it is.
                if (action == Action::Zero && depth == 0 && typeOf(tag) != IodType::Type2
                    && ConfidentialityProfile::mayRemove(tag.GetGroup(), tag.GetElement()))
                    removals.push_back(tag);
                else if (applyToSequence(element, *items, action, charset, key, depth))
                    changedGroups.insert(tag.GetGroup());
            } else if (action == Action::Dummy || action == Action::Zero || action == Action::Uid) {
                setValue(element, replacement(element, dataSet, action));
                m_record.written.insert(key);
                changedGroups.insert(tag.GetGroup());
            } else if ((action == Action::Clean || action == Action::ShiftDate)
                       && !canJudge(ElementWalk::vrOf(element, dataSet))) {
                // Bytes that no reading can vouch for.
                setValue(element, "");
                m_record.written.insert(key);
                changedGroups.insert(tag.GetGroup());
            } else if (!keptByOption(tag, action) && identifies(element, dataSet, charset)) {
                // Whatever the element is, a dummy valid for its VR keeps it valid: GDCM's
                // tables do not type every macro's attributes (code meanings, labels).
                setValue(element, replacement(element, dataSet, Action::Dummy));
                m_record.written.insert(key);
                changedGroups.insert(tag.GetGroup());
            }
            key.resize(mark);
        }
        for (const gdcm::DataElement &element : dataSet.GetDES()) {
            // An overlay without its data is broken: the whole group goes.
            if (overlaysRemoved.count(element.GetTag().GetGroup()) != 0)
                removals.push_back(element.GetTag());
        }
        for (const gdcm::Tag &tag : removals) {
            dataSet.Remove(tag);
            changedGroups.insert(tag.GetGroup());
        }
        for (const quint16 group : changedGroups)
            dataSet.Remove(gdcm::Tag(group, 0x0000));
        return !changedGroups.empty();
    }

    // The file meta group written afresh: what describes the file, and this program as its
    // writer; nothing else of the input's (source and receiving AE titles, private
    // information).
    void freshMetaGroup(gdcm::FileMetaInformation &meta)
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
        const auto put
                = [this, &meta](quint16 element, gdcm::VR::VRType vr, std::string_view text) {
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
    void describeMethod(gdcm::DataSet &dataSet)
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
        const auto put = [this, &dataSet](const gdcm::Tag &tag, gdcm::VR::VRType vr,
                                          std::string_view text) {
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

    void followDataSet(gdcm::File &file)
    {
        // The meta group names the instance the file holds; without one in the data set, the
        // standard clean-up maps the meta group's own.
        gdcm::FileMetaInformation &meta = file.GetHeader();
        const gdcm::DataSet &dataSet = file.GetDataSet();
        if (meta.FindDataElement(mediaStorageSopInstanceUid)) {
            gdcm::DataElement &stored
                    = mutableElement(meta.GetDataElement(mediaStorageSopInstanceUid));
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
            const uint32_t length
                    = meta.ComputeGroupLength<gdcm::ExplicitDataElement>(metaGroupLength);
            const char bytesLe[4]
                    = { static_cast<char>(length & 0xff), static_cast<char>((length >> 8) & 0xff),
                        static_cast<char>((length >> 16) & 0xff),
                        static_cast<char>((length >> 24) & 0xff) };
            mutableElement(meta.GetDataElement(metaGroupLength)).SetByteValue(bytesLe, 4);
        }
    }

private:
    // The table's action for an element, and what the IOD makes of it: a removal or an empty
    // value never takes what the IOD needs, at whatever level the element stands.
    Action actionFor(const gdcm::Tag &tag, int depth)
    {
        const StandardOptions::Set options = m_record.options;
        const Action plain = ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement(),
                                                            IodType::Unknown, options);
        if (plain == Action::None && typedByStaff(tag))
            return Action::Dummy;
        if (plain == Action::None || plain == Action::Keep || plain == Action::Clean
            || plain == Action::ShiftDate || tag.IsPrivate())
            return plain;
        // The table's codes that leave the choice to the IOD are resolved by it at the top
        // level; nested, by the table's own fallback (a reference keeps its items, with new
        // UIDs), since GDCM's tables cannot say at which level a type holds.
        const IodType type = typeOf(tag);
        Action action = ConfidentialityProfile::action(
                tag.GetGroup(), tag.GetElement(), depth == 0 ? type : IodType::Unknown, options);
        if (action == Action::Remove && !isOverlayData(tag)) {
            // Nested, GDCM's tables cannot say at which level a type holds: emptied, never
            // taken away.
            if (type == IodType::Type1)
                action = Action::Dummy;
            else if (type == IodType::Type2 || depth > 0)
                action = Action::Zero;
        }
        if (action == Action::Zero && type == IodType::Type1)
            action = Action::Dummy;
        return action;
    }

    IodType typeOf(const gdcm::Tag &tag) { return m_types.of(tag); }

    // True where an option keeps what the table would not: the user chose to keep it as it is
    // (whatever the residue check then finds in it is reported).
    bool keptByOption(const gdcm::Tag &tag, Action action) const
    {
        return action == Action::Keep && m_record.options != 0
                && ConfidentialityProfile::action(tag.GetGroup(), tag.GetElement()) != Action::Keep;
    }

    // A DA or DT value moved back by the patient's offset; a value that is no date a reader
    // can take gives way to a dummy.
    std::string shifted(const gdcm::DataElement &element, const gdcm::DataSet &owner) const
    {
        const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
        const std::string_view value = ElementWalk::trimmed(bytes(element));
        if (value.empty())
            return {};
        const std::string moved
                = Pseudonym::shiftDate(value, vr == gdcm::VR::DT, m_record.dateOffsetDays);
        return VrValue::padded(vr, moved.empty() ? VrValue::dummy(vr) : moved);
    }

    // The private elements of a data set that Retain Safe Private keeps, with their creators.
    std::set<gdcm::Tag> safePrivateOf(const gdcm::DataSet &dataSet) const
    {
        std::set<gdcm::Tag> kept;
        if (!(m_record.options & StandardOptions::RetainSafePrivate))
            return kept;
        for (const gdcm::DataElement &element : dataSet.GetDES()) {
            if (isSafePrivate(dataSet, element)) {
                kept.insert(element.GetTag());
                kept.insert(element.GetTag().GetPrivateCreator());
            }
        }
        return kept;
    }

    // Values an option's C can read for what they say: texts and numbers. Other bytes (OB,
    // OW, UN...) cannot be judged.
    static bool canJudge(gdcm::VR::VRType vr)
    {
        return VrValue::isText(vr) || vr == gdcm::VR::UI
                || (ElementWalk::holdsNoText(vr) && vr != gdcm::VR::OB && vr != gdcm::VR::OW
                    && vr != gdcm::VR::OD && vr != gdcm::VR::OF && vr != gdcm::VR::OL
                    && vr != gdcm::VR::OV);
    }

    // Overlay and curve data: bitmaps and samples no cleaning can read, which go with their
    // groups as without the Clean Graphics option.
    static bool isGraphicData(const gdcm::Tag &tag)
    {
        const quint16 g = tag.GetGroup() & 0xff00;
        return (g == 0x6000 && tag.GetElement() == 0x3000) || g == 0x5000;
    }

    static bool isOverlayData(const gdcm::Tag &tag)
    {
        return (tag.GetGroup() & 0xff00) == 0x6000 && tag.GetElement() == 0x3000;
    }

    // A sequence's items under the table: emptied (Z), filled with dummies (D) or cleaned
    // item by item (U, K, or not named). True when anything changed.
    bool applyToSequence(gdcm::DataElement &element, gdcm::SequenceOfItems &items, Action action,
                         const CharacterSet &charset, std::string &key, int depth)
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
    bool dummyItems(gdcm::SequenceOfItems &items, const CharacterSet &charset, std::string &key,
                    int depth)
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
            for (gdcm::DataElement length : nested.GetDES()) {
                if (length.GetTag().GetElement() == 0x0000)
                    nested.Remove(length.GetTag());
            }
            item.SetVLToUndefined();
            key.resize(mark);
        }
        return items.GetNumberOfItems() > 0;
    }

    // The value an action writes: a new UID, a dummy, or nothing.
    std::string replacement(const gdcm::DataElement &element, const gdcm::DataSet &owner,
                            Action action)
    {
        const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
        if (action == Action::Uid || vr == gdcm::VR::UI)
            return newUid(element);
        if (action == Action::Dummy && vr != gdcm::VR::SQ && vr != gdcm::VR::INVALID)
            return VrValue::dummy(vr);
        return {};
    }

    // True for a value the table left alone that still names or identifies somebody: a person
    // name, or a text the matcher finds.
    bool identifies(const gdcm::DataElement &element, const gdcm::DataSet &owner,
                    const CharacterSet &charset) const
    {
        const std::string_view value = ElementWalk::trimmed(bytes(element));
        if (value.empty())
            return false;
        const gdcm::VR::VRType vr = ElementWalk::vrOf(element, owner);
        if (vr == gdcm::VR::PN)
            return true;
        if (ElementWalk::holdsNoText(vr))
            return false;
        // A UID identifies only as an original one (it is then mapped); the numbers in class
        // and other UIDs are no dates or IDs.
        const bool originalUid = m_record.matcher.findUid(value);
        if (vr == gdcm::VR::UI || originalUid)
            return originalUid;
        return m_record.matcher.find(ElementWalk::text(element, vr, charset))
                != IdentifierMatcher::Kind::None;
    }

    // The values of a text element, decoded, one per value.
    static QStringList values(const gdcm::DataElement &element, const CharacterSet &charset)
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

    // The items of a sequence, parsed now where GDCM kept the sequence as bytes (a defined
    // length in an implicit VR file, VR UN), so that they can be cleaned.
    gdcm::SequenceOfItems *parsedSequence(gdcm::DataElement &element, const gdcm::DataSet &owner)
    {
        if (gdcm::SequenceOfItems *items = ElementWalk::sequence(element))
            return items;
        const gdcm::SmartPointer<gdcm::SequenceOfItems> parsed
                = ElementWalk::itemsOf(element, owner);
        if (!parsed)
            return nullptr;
        element.SetValue(*parsed);
        element.SetVLToUndefined();
        return ElementWalk::sequence(element);
    }

    bool walkItems(gdcm::SequenceOfItems &items, const CharacterSet &charset, std::string &key,
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

    const Options &m_options;
    Record &m_record;
    std::vector<IdentifierMatcher::Input> m_matcherInputs; // gathered by collect()
    IodTypes m_types;
    const bool m_shiftDates; // Modified Dates: every DA and DT moves
    std::unordered_set<std::string> m_linked; // originals already in m_record.links
};

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
    record.options = options.standard ? options.options : 0;
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
    cleaner.collect(file.GetHeader(), CharacterSet(), 0);
    cleaner.collect(file.GetDataSet(), CharacterSet(), 0);
    cleaner.buildMatcher();
    cleaner.applyProfile(file, profile);
    if (options.standard) {
        std::string key;
        cleaner.applyStandard(file.GetDataSet(), CharacterSet(), key, 0);
        // A data set the cleaning emptied is not written at all.
        if (!file.GetDataSet().IsEmpty())
            cleaner.describeMethod(file.GetDataSet());
        cleaner.freshMetaGroup(file.GetHeader());
        gdcm::Preamble &preamble = file.GetHeader().GetPreamble();
        if (!preamble.IsEmpty())
            preamble.Valid();
    }
    cleaner.followDataSet(file);
    if (options.recordLinks && options.standard) {
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
