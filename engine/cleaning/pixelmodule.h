#pragma once

#include "engine/dicom/dicomfacts.h"

#include <QString>

#include <gdcmDataSet.h>
#include <gdcmTag.h>

// The image pixel module's elements as the burned-in text stages read them: the header rules,
// the decoding of the first frame and the blanking of text boxes.
namespace PixelModule {

inline const gdcm::Tag pixelDataTag = DicomFacts::pixelData;
inline const gdcm::Tag rowsTag(0x0028, 0x0010);
inline const gdcm::Tag columnsTag(0x0028, 0x0011);
inline const gdcm::Tag samplesTag(0x0028, 0x0002);
inline const gdcm::Tag photometricTag(0x0028, 0x0004);
inline const gdcm::Tag planarConfigurationTag(0x0028, 0x0006);
inline const gdcm::Tag bitsAllocatedTag(0x0028, 0x0100);
inline const gdcm::Tag bitsStoredTag(0x0028, 0x0101);
inline const gdcm::Tag pixelRepresentationTag(0x0028, 0x0103);

inline QString textOf(const gdcm::DataSet &ds, const gdcm::Tag &tag)
{
    if (!ds.FindDataElement(tag))
        return {};
    const gdcm::ByteValue *bv = ds.GetDataElement(tag).GetByteValue();
    if (!bv)
        return {};
    return QString::fromLatin1(bv->GetPointer(), static_cast<qsizetype>(bv->GetLength()))
            .remove(QChar(0))
            .trimmed();
}

// An unsigned short of the image pixel module; 0 when absent or unreadable.
inline int ushortOf(const gdcm::DataSet &ds, const gdcm::Tag &tag)
{
    if (!ds.FindDataElement(tag))
        return 0;
    const gdcm::ByteValue *bv = ds.GetDataElement(tag).GetByteValue();
    if (!bv || bv->GetLength() < 2)
        return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(bv->GetPointer());
    return p[0] | (p[1] << 8);
}

} // namespace PixelModule
