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
#include <gdcmItem.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>
#include <gdcmTag.h>
#include <gdcmTransferSyntax.h>
#include <gdcmUIDGenerator.h>
#include <gdcmWriter.h>

#include <optional>
#include <string>

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

struct Options
{
    bool withPatientSex = false;
    bool withPrivateSequence = false; // at (0009,1004), a tag the default profile lists
    QByteArray name = "Roe^Jane";
    // Identifiers where the profile's texts do not fit (CS, AS, DS, a long SH, a UID, a group
    // length), outside the profile (an operator, a reference to the study holding the
    // patient's name, a private block holding it, the patient's ID in an unlisted element).
    bool planted = false;
    std::string studyUid; // empty: a new one
    gdcm::TransferSyntax::TSType syntax = gdcm::TransferSyntax::ExplicitVRLittleEndian;
};

// The values Options::planted puts in.
inline const char plantedSoftware[] = "ScanSuite 7 for St Example";
inline const char plantedOperator[] = "Oper^Ator";

// A small secondary capture image with identifying values at the top level and a patient
// name and study date inside a sequence item, written by GDCM. Returns false on failure.
inline bool write(const QString &path, const Options &options = {})
{
    gdcm::Writer writer;
    gdcm::File &file = writer.GetFile();
    gdcm::DataSet &ds = file.GetDataSet();
    gdcm::UIDGenerator uids;
    ds.Insert(element(gdcm::Tag(0x0008, 0x0016), gdcm::VR::UI, "1.2.840.10008.5.1.4.1.1.7"));
    ds.Insert(element(gdcm::Tag(0x0008, 0x0018), gdcm::VR::UI, uids.Generate()));
    ds.Insert(element(studyDate, gdcm::VR::DA, "20230415"));
    ds.Insert(element(gdcm::Tag(0x0008, 0x0060), gdcm::VR::CS, "OT"));
    ds.Insert(element(institutionName, gdcm::VR::LO, "St Example Hospital"));
    ds.Insert(element(patientName, gdcm::VR::PN, options.name.toStdString()));
    ds.Insert(element(patientId, gdcm::VR::LO, "ID-0042"));
    ds.Insert(element(birthDate, gdcm::VR::DA, "19610203"));
    if (options.withPatientSex)
        ds.Insert(element(patientSex, gdcm::VR::CS, "F"));
    const std::string studyUid = options.studyUid.empty() ? uids.Generate() : options.studyUid;
    ds.Insert(element(gdcm::Tag(0x0020, 0x000d), gdcm::VR::UI, studyUid));
    ds.Insert(element(gdcm::Tag(0x0020, 0x000e), gdcm::VR::UI, uids.Generate()));
    if (options.planted) {
        ds.Insert(element(patientSex, gdcm::VR::CS, "F"));
        ds.Insert(element(gdcm::Tag(0x0010, 0x1010), gdcm::VR::AS, "045Y"));
        ds.Insert(element(gdcm::Tag(0x0010, 0x1030), gdcm::VR::DS, "70.5"));
        ds.Insert(element(gdcm::Tag(0x0008, 0x1010), gdcm::VR::SH, "CT7"));
        ds.Insert(element(gdcm::Tag(0x0008, 0x1070), gdcm::VR::PN, plantedOperator));
        ds.Insert(element(gdcm::Tag(0x0018, 0x1020), gdcm::VR::LO, plantedSoftware));
        gdcm::DataElement groupLength(gdcm::Tag(0x0018, 0x0000));
        groupLength.SetVR(gdcm::VR::UL);
        const uint32_t length = 28;
        groupLength.SetByteValue(reinterpret_cast<const char *>(&length), gdcm::VL(4));
        ds.Insert(groupLength);
        ds.Insert(element(gdcm::Tag(0x0020, 0x0052), gdcm::VR::UI, "1.2.826.0.1.3680043.99.7"));
        ds.Insert(element(gdcm::Tag(0x0054, 0x0400), gdcm::VR::SH, "ID-0042"));
        gdcm::Item reference;
        reference.SetVLToUndefined();
        reference.GetNestedDataSet().Insert(
                element(gdcm::Tag(0x0008, 0x1150), gdcm::VR::UI, "1.2.840.10008.3.1.2.3.1"));
        reference.GetNestedDataSet().Insert(
                element(gdcm::Tag(0x0008, 0x1155), gdcm::VR::UI, studyUid));
        reference.GetNestedDataSet().Insert(
                element(patientName, gdcm::VR::PN, options.name.toStdString()));
        gdcm::SmartPointer<gdcm::SequenceOfItems> references = new gdcm::SequenceOfItems;
        references->SetLengthToUndefined();
        references->AddItem(reference);
        gdcm::DataElement referenced(gdcm::Tag(0x0008, 0x1115));
        referenced.SetVR(gdcm::VR::SQ);
        referenced.SetValue(*references);
        referenced.SetVLToUndefined();
        ds.Insert(referenced);
        ds.Insert(element(gdcm::Tag(0x0011, 0x0010), gdcm::VR::LO, "EXAMPLE CORP 1.0"));
        ds.Insert(element(gdcm::Tag(0x0011, 0x1001), gdcm::VR::LO, options.name.toStdString()));
    }

    gdcm::Item item;
    item.SetVLToUndefined();
    item.GetNestedDataSet().Insert(element(patientName, gdcm::VR::PN, "Nested^Name"));
    item.GetNestedDataSet().Insert(element(studyDate, gdcm::VR::DA, "20200101"));
    gdcm::SmartPointer<gdcm::SequenceOfItems> sequence = new gdcm::SequenceOfItems;
    sequence->SetLengthToUndefined();
    sequence->AddItem(item);
    gdcm::DataElement sq(requestSequence);
    sq.SetVR(gdcm::VR::SQ);
    sq.SetValue(*sequence);
    sq.SetVLToUndefined();
    ds.Insert(sq);
    if (options.withPrivateSequence) {
        ds.Insert(element(gdcm::Tag(0x0009, 0x0010), gdcm::VR::LO, "EXAMPLE PRIVATE"));
        gdcm::DataElement priv(privateSequence);
        priv.SetVR(gdcm::VR::SQ);
        priv.SetValue(*sequence);
        priv.SetVLToUndefined();
        ds.Insert(priv);
    }

    auto us = [&](uint16_t elementNumber, uint16_t value) {
        gdcm::DataElement de(gdcm::Tag(0x0028, elementNumber));
        de.SetVR(gdcm::VR::US);
        de.SetByteValue(reinterpret_cast<const char *>(&value), gdcm::VL(2));
        ds.Insert(de);
    };
    us(0x0002, 1); // samples per pixel
    ds.Insert(element(gdcm::Tag(0x0028, 0x0004), gdcm::VR::CS, "MONOCHROME2"));
    us(0x0010, 4); // rows
    us(0x0011, 4); // columns
    us(0x0100, 16);
    us(0x0101, 16);
    us(0x0102, 15);
    us(0x0103, 0);
    std::string pixels;
    for (int i = 0; i < 16; ++i) {
        pixels.push_back(static_cast<char>(i * 7));
        pixels.push_back(static_cast<char>(i));
    }
    ds.Insert(element(pixelData, gdcm::VR::OW, pixels));

    file.GetHeader().SetDataSetTransferSyntax(options.syntax);
    QDir().mkpath(QFileInfo(path).absolutePath());
    writer.SetFileName(path.toStdString().c_str());
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
