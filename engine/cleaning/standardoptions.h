#pragma once

#include <QString>
#include <QStringList>

#include <array>

// The options of the standard clean-up (DICOM PS3.15's Basic Application Level
// Confidentiality Profile), each a column of its table: where an option gives a code, it
// takes the place of the basic one (K keep, C clean). A job applies a set of them on top of
// the standard clean-up only.
namespace StandardOptions {

// Bits of a Set, in the order of the table's columns (tools/gen-confidentiality.py).
enum Option : quint32 {
    RetainSafePrivate = 1u << 0,
    RetainUids = 1u << 1,
    RetainDeviceIdentity = 1u << 2,
    RetainInstitutionIdentity = 1u << 3,
    RetainPatientCharacteristics = 1u << 4,
    RetainFullDates = 1u << 5,
    ModifiedDates = 1u << 6,
    CleanDescriptors = 1u << 7,
    CleanStructuredContent = 1u << 8,
    CleanGraphics = 1u << 9,
};
using Set = quint32;
inline constexpr int count = 10;

struct Info
{
    Option option;
    const char *name; // as --option and the settings store spell it: "modified-dates"
    const char *title; // the standard's name, which (0012,0063) carries
    const char *code; // its code in DICOM's "DCM" scheme (PS3.16 CID 7050)
};

// Every option, in column order.
const std::array<Info, count> &all();

// The column of an option bit (0 for RetainSafePrivate).
constexpr int column(Option option)
{
    int n = 0;
    for (quint32 bit = option; bit > 1; bit >>= 1)
        ++n;
    return n;
}

// The option spelt `name`; 0 when there is none.
Set byName(const QString &name);

// The names of the options in `set`, in column order.
QStringList names(Set set);

// Why `set` cannot be applied ("retain-full-dates and modified-dates exclude each other"),
// or empty.
QString conflict(Set set);

// The profile itself, as (0012,0063/0064) name it before its options.
inline constexpr char profileTitle[] = "Basic Application Confidentiality Profile";
inline constexpr char profileCode[] = "113100";

} // namespace StandardOptions
