#pragma once

#include <string>
#include <string_view>

class UidMap;

// What stands for a patient in the copies, made from the patient's identity by the keyed hash
// of the UID map: the same patient gets the same pseudonym and the same date offset in every
// file, job and machine that share the key, and nobody without the key can go back.
namespace Pseudonym {

// Who a file's patient is, from its values decoded to UTF-8 (trailing spaces and zero bytes
// are not part of them).
struct Patient
{
    std::string issuer; // Issuer of Patient ID (0010,0021)
    std::string id; // Patient ID (0010,0020)
    std::string name; // Patient's Name (0010,0010)
    std::string birthDate; // Patient's Birth Date (0010,0030)

    // The text the keyed hash is taken of: the issuer and the ID; a file without an ID falls
    // back on the name (case aside) and the birth date.
    std::string identity() const;
};

// "VX-" and ten characters of base 32 (A-Z, 2-7): a valid LO and PN value.
std::string of(const Patient &patient, const UidMap &key);

// How many days the patient's dates move back: a whole number from 365 to 3652.
int dateOffsetDays(const Patient &patient, const UidMap &key);

// A DA or DT value moved `days` back, each of its values (backslash-separated): the date part
// moves, a DT's time and UTC offset stay, and a partial DT ("2019", "201903") keeps its
// precision. Empty when a value is no date this can read, such as "20210230".
std::string shiftDate(std::string_view value, bool dateTime, int days);

// A short name made from a UID by the keyed hash: ten characters of base 32.
std::string shortName(std::string_view uid, const UidMap &key);

} // namespace Pseudonym
