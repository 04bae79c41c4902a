#pragma once

// DICOM files made with GDCM for the tests, files read back from disk, and byte helpers.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QString>
#include <QStringList>

#include <gdcmDataElement.h>
#include <gdcmDataSet.h>
#include <gdcmFile.h>
#include <gdcmImageChangeTransferSyntax.h>
#include <gdcmImageReader.h>
#include <gdcmImageWriter.h>
#include <gdcmItem.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfFragments.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTag.h>
#include <gdcmTransferSyntax.h>
#include <gdcmUIDGenerator.h>
#include <gdcmWriter.h>

#include <optional>
#include <string>
#include <vector>

namespace TestDicom {

inline const gdcm::Tag patientName(0x0010, 0x0010);
inline const gdcm::Tag patientId(0x0010, 0x0020);
inline const gdcm::Tag birthDate(0x0010, 0x0030);
inline const gdcm::Tag patientSex(0x0010, 0x0040);
inline const gdcm::Tag studyDate(0x0008, 0x0020);
inline const gdcm::Tag institutionName(0x0008, 0x0080);
inline const gdcm::Tag requestSequence(0x0040, 0x0275);
inline const gdcm::Tag pixelData(0x7fe0, 0x0010);
inline const gdcm::Tag privateSequence(0x0009, 0x1004);

inline QString pydicomFiles()
{
    return QStringLiteral("/usr/lib/python3/dist-packages/pydicom/data/test_files");
}

inline gdcm::DataElement element(const gdcm::Tag &tag, gdcm::VR vr, const std::string &value)
{
    gdcm::DataElement de(tag);
    de.SetVR(vr);
    de.SetByteValue(value.data(), gdcm::VL(static_cast<uint32_t>(value.size())));
    return de;
}

// A sequence of undefined length holding one item of undefined length.
inline gdcm::DataElement sequence(const gdcm::Tag &tag, const std::vector<gdcm::DataElement> &item)
{
    gdcm::Item i;
    i.SetVLToUndefined();
    for (const gdcm::DataElement &de : item)
        i.GetNestedDataSet().Insert(de);
    gdcm::SmartPointer<gdcm::SequenceOfItems> items = new gdcm::SequenceOfItems;
    items->SetLengthToUndefined();
    items->AddItem(i);
    gdcm::DataElement sq(tag);
    sq.SetVR(gdcm::VR::SQ);
    sq.SetValue(*items);
    sq.SetVLToUndefined();
    return sq;
}

struct Options
{
    bool withPrivateSequence = false; // at (0009,1004), a tag the default profile lists
    // Identifiers where the profile's texts do not fit (CS, AS, DS, a long SH, a UID, group
    // lengths), outside the profile (an operator, a reference to the study holding the
    // patient's name, a private block holding it, the patient's ID in an unlisted element).
    bool planted = false;
    std::string studyUid; // empty: a new one
    gdcm::TransferSyntax::TSType syntax = gdcm::TransferSyntax::ExplicitVRLittleEndian;
    // Pixel data of this many bytes (a multiple of 2048 above 32): 16-bit samples whose high
    // byte is below 16, so no element's tag shows among them.
    int pixelBytes = 32;
    // Elements after the pixel data: a private block that names the patient, then trailing
    // padding.
    bool trailer = false;
};

// The values Options::planted puts in.
inline const char plantedSoftware[] = "ScanSuite 7 for St Example";
inline const char plantedOperator[] = "Oper^Ator";

// A small secondary capture image of "Roe^Jane" with identifying values at the top level and a
// patient name and study date inside a sequence item, written by GDCM. False on failure.
inline bool write(const QString &path, const Options &options = {})
{
    using VR = gdcm::VR;
    gdcm::Writer writer;
    gdcm::DataSet &ds = writer.GetFile().GetDataSet();
    const auto put = [&ds](quint16 group, quint16 number, VR vr, const std::string &value) {
        ds.Insert(element(gdcm::Tag(group, number), vr, value));
    };
    const auto us = [&put](quint16 number, uint16_t value) {
        put(0x0028, number, VR::US, std::string(reinterpret_cast<const char *>(&value), 2));
    };
    gdcm::UIDGenerator uids;
    const std::string studyUid = options.studyUid.empty() ? uids.Generate() : options.studyUid;
    put(0x0008, 0x0016, VR::UI, "1.2.840.10008.5.1.4.1.1.7");
    put(0x0008, 0x0018, VR::UI, uids.Generate());
    put(0x0008, 0x0020, VR::DA, "20230415");
    put(0x0008, 0x0060, VR::CS, "OT");
    // Said outright, so the image is not taken for one that may show text.
    put(0x0028, 0x0301, VR::CS, "NO");
    put(0x0008, 0x0080, VR::LO, "St Example Hospital");
    put(0x0010, 0x0010, VR::PN, "Roe^Jane");
    put(0x0010, 0x0020, VR::LO, "ID-0042");
    put(0x0010, 0x0030, VR::DA, "19610203");
    put(0x0020, 0x000d, VR::UI, studyUid);
    put(0x0020, 0x000e, VR::UI, uids.Generate());
    if (options.planted) {
        put(0x0010, 0x0040, VR::CS, "F");
        put(0x0010, 0x1010, VR::AS, "045Y");
        put(0x0010, 0x1030, VR::DS, "70.5");
        put(0x0008, 0x1010, VR::SH, "CT7");
        put(0x0008, 0x1070, VR::PN, plantedOperator);
        put(0x0018, 0x1020, VR::LO, plantedSoftware);
        // Group lengths of groups the profile changes: one it names, one it does not.
        put(0x0018, 0x0000, VR::UL, std::string("\x1c\0\0\0", 4));
        put(0x0010, 0x0000, VR::UL, std::string("\x1c\0\0\0", 4));
        put(0x0020, 0x0052, VR::UI, "1.2.826.0.1.3680043.99.7");
        put(0x0054, 0x0400, VR::SH, "ID-0042");
        ds.Insert(sequence(gdcm::Tag(0x0008, 0x1115),
                           { element(gdcm::Tag(0x0008, 0x1150), VR::UI, "1.2.840.10008.3.1.2.3.1"),
                             element(gdcm::Tag(0x0008, 0x1155), VR::UI, studyUid),
                             element(patientName, VR::PN, "Roe^Jane") }));
        put(0x0011, 0x0010, VR::LO, "EXAMPLE CORP 1.0");
        put(0x0011, 0x1001, VR::LO, "Roe^Jane");
    }
    const std::vector<gdcm::DataElement> item = { element(patientName, VR::PN, "Nested^Name"),
                                                  element(studyDate, VR::DA, "20200101") };
    ds.Insert(sequence(requestSequence, item));
    if (options.withPrivateSequence) {
        put(0x0009, 0x0010, VR::LO, "EXAMPLE PRIVATE");
        ds.Insert(sequence(privateSequence, item));
    }
    const int columns = options.pixelBytes > 32 ? 1024 : 4;
    us(0x0002, 1); // samples per pixel
    put(0x0028, 0x0004, VR::CS, "MONOCHROME2");
    us(0x0010, static_cast<uint16_t>(options.pixelBytes / 2 / columns)); // rows
    us(0x0011, static_cast<uint16_t>(columns));
    us(0x0100, 16);
    us(0x0101, 16);
    us(0x0102, 15);
    us(0x0103, 0);
    std::string pixels;
    for (int i = 0; i < options.pixelBytes / 2; ++i)
        pixels += { static_cast<char>(i * 7), static_cast<char>(i & 0x0f) };
    ds.Insert(element(pixelData, VR::OW, pixels));
    if (options.trailer) {
        put(0x7fe1, 0x0010, VR::LO, "EXAMPLE TRAILER");
        put(0x7fe1, 0x1001, VR::LO, "Roe^Jane");
        put(0xfffc, 0xfffc, VR::OB, std::string(64, '\0'));
    }

    writer.GetFile().GetHeader().SetDataSetTransferSyntax(options.syntax);
    QDir().mkpath(QFileInfo(path).absolutePath());
    writer.SetFileName(path.toStdString().c_str());
    return writer.Write();
}

// An image file's make-up for writeImage(): the image pixel module and the header elements
// that say whether the pixels may show text.
struct Image
{
    int rows = 0; // 0: no image pixel module and no pixel data (a non-image file)
    int columns = 0;
    int samples = 1; // 1 (grey) or 3 (RGB, interleaved)
    int bits = 8; // bits allocated and stored: 8 or 16 (unsigned)
    std::string photometric = "MONOCHROME2";
    std::string pixels; // native, little endian; may be shorter than the image (a broken file)
    std::string sopClass = "1.2.840.10008.5.1.4.1.1.2"; // CT
    std::string modality = "CT";
    std::string burnedIn; // BurnedInAnnotation (0028,0301); empty: absent
    std::string imageType; // ImageType (0008,0008); empty: absent
    // Other than native: `pixels` is written as one fragment of encapsulated pixel data in that
    // transfer syntax, as it is (junk, for a file whose pixels no codec decodes).
    gdcm::TransferSyntax::TSType syntax = gdcm::TransferSyntax::ExplicitVRLittleEndian;
};

// An image file of the patient "Roe^Jane", native explicit VR little endian, written by GDCM.
// False on failure.
inline bool writeImage(const QString &path, const Image &image)
{
    using VR = gdcm::VR;
    gdcm::Writer writer;
    gdcm::DataSet &ds = writer.GetFile().GetDataSet();
    const auto put = [&ds](quint16 group, quint16 number, VR vr, const std::string &value) {
        if (!value.empty())
            ds.Insert(element(gdcm::Tag(group, number), vr, value));
    };
    const auto us = [&put](quint16 number, int value) {
        const uint16_t v = static_cast<uint16_t>(value);
        put(0x0028, number, VR::US, std::string(reinterpret_cast<const char *>(&v), 2));
    };
    gdcm::UIDGenerator uids;
    put(0x0008, 0x0008, VR::CS, image.imageType);
    put(0x0008, 0x0016, VR::UI, image.sopClass);
    put(0x0008, 0x0018, VR::UI, uids.Generate());
    put(0x0008, 0x0060, VR::CS, image.modality);
    put(0x0010, 0x0010, VR::PN, "Roe^Jane");
    put(0x0020, 0x000d, VR::UI, uids.Generate());
    put(0x0020, 0x000e, VR::UI, uids.Generate());
    if (image.rows > 0) {
        us(0x0002, image.samples);
        put(0x0028, 0x0004, VR::CS, image.photometric);
        if (image.samples == 3)
            us(0x0006, 0);
        us(0x0010, image.rows);
        us(0x0011, image.columns);
        us(0x0100, image.bits);
        us(0x0101, image.bits);
        us(0x0102, image.bits - 1);
        us(0x0103, 0);
    }
    put(0x0028, 0x0301, VR::CS, image.burnedIn);
    if (image.rows > 0 && image.syntax == gdcm::TransferSyntax::ExplicitVRLittleEndian) {
        ds.Insert(element(pixelData, image.bits == 8 ? VR::OB : VR::OW, image.pixels));
    } else if (image.rows > 0) {
        gdcm::Fragment fragment;
        fragment.SetByteValue(image.pixels.data(),
                              gdcm::VL(static_cast<uint32_t>(image.pixels.size())));
        gdcm::SmartPointer<gdcm::SequenceOfFragments> fragments = new gdcm::SequenceOfFragments;
        fragments->AddFragment(fragment);
        gdcm::DataElement de(pixelData);
        de.SetVR(VR::OB);
        de.SetValue(*fragments);
        ds.Insert(de);
    }
    writer.GetFile().GetHeader().SetDataSetTransferSyntax(image.syntax);
    QDir().mkpath(QFileInfo(path).absolutePath());
    writer.SetFileName(path.toStdString().c_str());
    return writer.Write();
}

// Writes the image of `input` again at `output` with its pixel data in another transfer
// syntax (JPEG baseline, RLE...), as GDCM's codecs encode it. False on failure.
inline bool recompress(const QString &input, const QString &output,
                       gdcm::TransferSyntax::TSType syntax)
{
    gdcm::ImageReader reader;
    reader.SetFileName(input.toStdString().c_str());
    if (!reader.Read())
        return false;
    gdcm::ImageChangeTransferSyntax change;
    change.SetTransferSyntax(syntax);
    change.SetInput(reader.GetImage());
    if (!change.Change())
        return false;
    gdcm::ImageWriter writer;
    writer.SetFile(reader.GetFile());
    writer.SetImage(change.GetOutput());
    writer.SetFileName(output.toStdString().c_str());
    return writer.Write();
}

// The file as GDCM reads it back from disk, or nothing when it cannot.
inline std::optional<gdcm::File> read(const QString &path)
{
    gdcm::Reader reader;
    reader.SetFileName(path.toStdString().c_str());
    if (!reader.Read())
        return std::nullopt;
    return reader.GetFile();
}

// The raw value bytes of an element of the data set or meta group given, or a null array when
// absent or without bytes.
inline QByteArray valueIn(const gdcm::DataSet &ds, const gdcm::Tag &tag)
{
    if (!ds.FindDataElement(tag))
        return {};
    const gdcm::ByteValue *bv = ds.GetDataElement(tag).GetByteValue();
    if (!bv)
        return {};
    return QByteArray(bv->GetPointer(), static_cast<qsizetype>(bv->GetLength()));
}

// The same for a top-level element of the file's data set, and for one of its meta group.
inline QByteArray valueOf(const gdcm::File &file, const gdcm::Tag &tag)
{
    return valueIn(file.GetDataSet(), tag);
}

inline QByteArray metaValueOf(const gdcm::File &file, const gdcm::Tag &tag)
{
    return valueIn(file.GetHeader(), tag);
}

// "(GGGG,EEEE)", as reports and residue lists name an element.
inline QString tagText(const gdcm::Tag &tag)
{
    return QStringLiteral("(%1,%2)")
            .arg(tag.GetGroup(), 4, 16, QLatin1Char('0'))
            .arg(tag.GetElement(), 4, 16, QLatin1Char('0'))
            .toUpper();
}

// Top-level elements whose tag, VR, length or value differ between two data sets (or meta
// groups), or that only one holds, sorted. Sequences compare item by item.
inline QStringList differences(const gdcm::DataSet &a, const gdcm::DataSet &b)
{
    QStringList tags;
    for (const gdcm::DataElement &de : a.GetDES()) {
        if (!b.FindDataElement(de.GetTag()) || !(b.GetDataElement(de.GetTag()) == de))
            tags.append(tagText(de.GetTag()));
    }
    for (const gdcm::DataElement &de : b.GetDES()) {
        if (!a.FindDataElement(de.GetTag()))
            tags.append(tagText(de.GetTag()));
    }
    tags.sort();
    return tags;
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Writes `bytes` as the whole file, making its folder first.
inline bool writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && file.write(bytes) == bytes.size();
}

inline QByteArray sha256(const QString &path)
{
    return QCryptographicHash::hash(readAll(path), QCryptographicHash::Sha256);
}

// Every file below a folder, hidden ones included, as paths relative to it, sorted.
inline QStringList treeOf(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(folder).relativeFilePath(it.next()));
    files.sort();
    return files;
}

// Every file below a folder (links read through) with its SHA-256: compared before and after a
// job, it shows that no input changed.
inline QHash<QString, QByteArray> hashesBelow(const QString &folder)
{
    QHash<QString, QByteArray> result;
    for (const QString &file : treeOf(folder))
        result.insert(file, sha256(QDir(folder).filePath(file)));
    return result;
}

} // namespace TestDicom
