#include "engine/dicom/dicomsyntax.h"

#include <gdcmTransferSyntax.h>
#include <gdcmVR.h>

#include <cstring>
#include <string>

namespace DicomCheck::Detail {

namespace {

// GDCM's own VRs, looked up once; every one is two capital letters. GetVRTypeFromFile answers
// UN for a pair it does not know, so IsValid tells the known ones apart.
struct VrTable
{
    quint8 cls[26][26] = {};
    VrTable()
    {
        for (char first = 'A'; first <= 'Z'; ++first) {
            for (char second = 'A'; second <= 'Z'; ++second) {
                const char pair[3] = { first, second, '\0' };
                if (!gdcm::VR::IsValid(pair))
                    continue;
                const gdcm::VR::VRType vr = gdcm::VR::GetVRTypeFromFile(pair);
                cls[first - 'A'][second - 'A'] = gdcm::VR::GetLength(vr) == 4 ? LongVr : ShortVr;
            }
        }
    }
};

// GDCM's tables are constant data, ready before this is made.
const VrTable vrTable;

// Faults that a file cut short shows; they are named as a truncation.
bool isTruncation(const char *reason)
{
    static const char *const truncations[] = {
        "value length beyond its container",
        "fragment length beyond its container",
        "item longer than its container",
        "meta element length beyond the file",
        "sequence without sequence delimiter",
        "item without item delimiter",
        "encapsulated pixel data without sequence delimiter",
        "no data set after the meta group",
    };
    for (const char *truncation : truncations) {
        if (std::strcmp(reason, truncation) == 0)
            return true;
    }
    return false;
}

} // namespace

VrClass vrClass(const uchar *vr)
{
    if (vr[0] < 'A' || vr[0] > 'Z' || vr[1] < 'A' || vr[1] > 'Z')
        return UnknownVr;
    return VrClass(vrTable.cls[vr[0] - 'A'][vr[1] - 'A']);
}

bool knownVr(const uchar *vr)
{
    return vrClass(vr) != UnknownVr;
}

bool longLength(const uchar *vr)
{
    return vrClass(vr) != ShortVr;
}

bool isVr(const uchar *vr, const char *name)
{
    return vr[0] == uchar(name[0]) && vr[1] == uchar(name[1]);
}

Result fail(const char *reason, quint64 offset)
{
    QString text = QLatin1String(reason);
    if (text.startsWith(QLatin1String("truncated ")))
        text.insert(9, QLatin1Char(':'));
    else if (isTruncation(reason))
        text.prepend(QLatin1String("truncated: "));
    return { false, QStringLiteral("%1 at byte %2").arg(text).arg(offset), qint64(offset) };
}

const QString notDicom = QStringLiteral("not a DICOM file");

// How GDCM reads the transfer syntax that the meta element's `length` bytes at `uid` name;
// false for one it does not read.
bool syntaxFromUid(const char *uid, int length, Syntax &syntax)
{
    using TS = gdcm::TransferSyntax;
    // GDCM looks the value up as a C string, up to its first zero byte, with trailing spaces
    // removed. No UID has more than 64 characters: a longer value names nothing, and is not
    // copied.
    int n = 0;
    while (n < length && uid[n] != '\0')
        ++n;
    while (n > 0 && uid[n - 1] == ' ')
        --n;
    if (n > 64)
        return false;
    const TS ts = TS::GetTSType(std::string(uid, size_t(n)).c_str());
    // GDCM's table also names the implicit big endian of old ACR-NEMA files, under a made-up
    // UID, which its reader refuses.
    if (!ts.IsValid() || ts == TS::ImplicitVRBigEndianACRNEMA)
        return false;
    syntax = Syntax();
    syntax.encoding = ts.IsImplicit() ? Encoding::Implicit : Encoding::Explicit;
    syntax.bigEndian = ts.GetSwapCode() == gdcm::SwapCode::BigEndian;
    syntax.deflated = ts.IsEncoded();
    // GDCM reads the other implicit syntaxes (GE's, Papyrus') and Philips' private explicit one
    // with quirks of their own (pixel data in another byte order, private encodings): not plain.
    syntax.plain = ts == TS::ImplicitVRLittleEndian
            || (syntax.encoding == Encoding::Explicit && !syntax.bigEndian && !syntax.deflated
                && ts != TS::CT_private_ELE);
    return true;
}

} // namespace DicomCheck::Detail
