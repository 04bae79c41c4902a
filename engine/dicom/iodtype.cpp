#include "engine/dicom/iodtype.h"

#include <gdcmDefs.h>
#include <gdcmFile.h>
#include <gdcmGlobal.h>
#include <gdcmIOD.h>
#include <gdcmMacros.h>
#include <gdcmMediaStorage.h>
#include <gdcmModules.h>
#include <gdcmType.h>

#include <string>
#include <unordered_map>

namespace {

using DicomFacts::IodType;

const gdcm::Defs *defs()
{
    static const gdcm::Defs *loaded = [] {
        gdcm::Global &global = gdcm::Global::GetInstance();
        return global.LoadResourcesFiles() ? &global.GetDefs() : nullptr;
    }();
    return loaded;
}

IodType plainType(gdcm::Type::TypeType type)
{
    switch (type) {
    case gdcm::Type::T1:
    case gdcm::Type::T1C:
        return IodType::Type1;
    case gdcm::Type::T2:
    case gdcm::Type::T2C:
        return IodType::Type2;
    case gdcm::Type::T3:
        return IodType::Type3;
    default:
        return IodType::Unknown;
    }
}

} // namespace

IodType IodTypes::of(const gdcm::Tag &tag)
{
    const gdcm::Defs *tables = defs();
    if (!tables)
        return IodType::Unknown;
    if (!m_known) {
        gdcm::MediaStorage storage;
        storage.SetFromFile(m_file);
        const char *sopClass = storage.GetString();
        m_sopClass = sopClass ? sopClass : "";
        m_sopClass.push_back('/');
        m_known = true;
    }
    std::string key = m_sopClass + std::to_string(tag.GetElementTag());
    thread_local std::unordered_map<std::string, IodType> known;
    const auto found = known.find(key);
    if (found != known.end())
        return found->second;
    // An attribute may stand in several modules of one IOD, and nested in several sequences,
    // with different types: it must have a value if any of them says so, and must be present
    // if any of them says so; the cleaning never takes what some place needs.
    bool mustHaveValue = false;
    bool mayLeaveOut = false;
    bool mayBeEmpty = false;
    try {
        const gdcm::IOD &iod = tables->GetIODFromFile(m_file);
        for (unsigned i = 0; i < iod.GetNumberOfIODs(); ++i) {
            const gdcm::Module &module
                    = tables->GetModules().GetModule(iod.GetIODEntry(i).GetRef());
            if (!module.FindModuleEntryInMacros(tables->GetMacros(), tag))
                continue;
            const IodType type = plainType(static_cast<gdcm::Type::TypeType>(
                    module.GetModuleEntryInMacros(tables->GetMacros(), tag).GetType()));
            mustHaveValue = mustHaveValue || type == IodType::Type1;
            mayBeEmpty = mayBeEmpty || type == IodType::Type2;
            mayLeaveOut = mayLeaveOut || type == IodType::Type3;
        }
    } catch (...) {
        mustHaveValue = mayLeaveOut = mayBeEmpty = false;
    }
    const IodType type = mustHaveValue ? IodType::Type1
            : mayBeEmpty               ? IodType::Type2
            : mayLeaveOut              ? IodType::Type3
                                       : IodType::Unknown;
    known.emplace(std::move(key), type);
    return type;
}
