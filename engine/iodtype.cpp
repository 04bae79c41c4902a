#include "engine/iodtype.h"

#include <gdcmDefs.h>
#include <gdcmFile.h>
#include <gdcmGlobal.h>
#include <gdcmMediaStorage.h>
#include <gdcmType.h>

#include <string>
#include <unordered_map>

namespace IodType {

namespace {

const gdcm::Defs *defs()
{
    static const gdcm::Defs *loaded = [] {
        gdcm::Global &global = gdcm::Global::GetInstance();
        return global.LoadResourcesFiles() ? &global.GetDefs() : nullptr;
    }();
    return loaded;
}

int plainType(gdcm::Type::TypeType type)
{
    switch (type) {
    case gdcm::Type::T1:
    case gdcm::Type::T1C:
        return 1;
    case gdcm::Type::T2:
    case gdcm::Type::T2C:
        return 2;
    case gdcm::Type::T3:
        return 3;
    default:
        return 0;
    }
}

} // namespace

int of(const gdcm::File &file, const gdcm::Tag &tag)
{
    const gdcm::Defs *tables = defs();
    if (!tables)
        return 0;
    gdcm::MediaStorage storage;
    storage.SetFromFile(file);
    const char *sopClass = storage.GetString();
    std::string key = sopClass ? sopClass : "";
    key.push_back('/');
    key += std::to_string(tag.GetElementTag());
    thread_local std::unordered_map<std::string, int> known;
    const auto found = known.find(key);
    if (found != known.end())
        return found->second;
    int type = 0;
    try {
        type = plainType(static_cast<gdcm::Type::TypeType>(tables->GetTypeFromTag(file, tag)));
    } catch (...) {
        type = 0;
    }
    known.emplace(std::move(key), type);
    return type;
}

} // namespace IodType
