// Burned-in text: the header rules, OCR of text drawn into images in several fonts, sizes,
// polarities, pixel layouts and transfer syntaxes, clean images left unflagged, and blanking.

#include "engine/cleaning/burnedintext.h"
#include "engine/job/fileanonymizer.h"
#include "engine/job/jobreport.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"
#include "shared/dicomfiles.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cmath>

using BurnedInText::OcrMode;
using Syntax = gdcm::TransferSyntax;

Q_DECLARE_METATYPE(BurnedInText::OcrMode)
Q_DECLARE_METATYPE(gdcm::TransferSyntax::TSType)

namespace {

enum class Layout { Grey8, Rgb, Grey16 };

struct Drawing
{
    QString text;
    QString family = QStringLiteral("DejaVu Sans");
    int pixelSize = 24;
    bool whiteOnBlack = true;
    int width = 512;
    int height = 512;
};

// The text drawn on a plain background, one line per '\n', near the top left corner as
// modalities write it.
QImage draw(const Drawing &d)
{
    QImage image(d.width, d.height, QImage::Format_RGB888);
    image.fill(d.whiteOnBlack ? Qt::black : Qt::white);
    QPainter painter(&image);
    QFont font(d.family);
    font.setPixelSize(d.pixelSize);
    painter.setFont(font);
    painter.setPen(d.whiteOnBlack ? Qt::white : Qt::black);
    painter.drawText(QRect(20, 20, d.width - 40, d.height - 40), Qt::AlignLeft | Qt::AlignTop,
                     d.text);
    return image;
}

// The image's pixels in the layout given: grey bytes, RGB triplets, or 12-bit values in 16
// bits (a CT-like range, background 0, text at 4000).
TestDicom::Image dicomImage(const QImage &image, Layout layout)
{
    TestDicom::Image out;
    out.rows = image.height();
    out.columns = image.width();
    out.samples = layout == Layout::Rgb ? 3 : 1;
    out.bits = layout == Layout::Grey16 ? 16 : 8;
    out.photometric = layout == Layout::Rgb ? "RGB" : "MONOCHROME2";
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    for (int y = 0; y < image.height(); ++y) {
        if (layout == Layout::Rgb) {
            out.pixels.append(reinterpret_cast<const char *>(image.constScanLine(y)),
                              std::size_t(image.width()) * 3);
            continue;
        }
        const uchar *row = grey.constScanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            if (layout == Layout::Grey8) {
                out.pixels.push_back(char(row[x]));
            } else {
                const uint16_t v = uint16_t(row[x] * 4000 / 255);
                out.pixels.append(reinterpret_cast<const char *>(&v), 2);
            }
        }
    }
    return out;
}

std::optional<gdcm::File> readWhole(const QString &path)
{
    return TestDicom::read(path);
}

BurnedInText::Finding assessFile(const QString &path, OcrMode mode)
{
    const std::optional<gdcm::File> file = readWhole(path);
    if (!file)
        return {};
    return BurnedInText::assess(path, file->GetDataSet(), mode);
}

QString wordsOf(const BurnedInText::Finding &finding)
{
    QStringList words;
    for (const std::string &w : finding.words)
        words.append(QString::fromStdString(w));
    return words.join(QLatin1Char(' '));
}

} // namespace

class TestBurnedInText : public QObject
{
    Q_OBJECT

private slots:
    void headerRules_data();
    void headerRules();
    void ocrReadsText_data();
    void ocrReadsText();
    void cleanImagesNotFlagged_data();
    void cleanImagesNotFlagged();
    void undecodablePixels_data();
    void undecodablePixels();
    void blankRemovesText_data();
    void blankRemovesText();
    void blankRefuses();
    void throughTheCopy_data();
    void throughTheCopy();
    void realFiles_data();
    void realFiles();

private:
    QTemporaryDir m_dir;
};

void TestBurnedInText::headerRules_data()
{
    QTest::addColumn<QString>("sopClass");
    QTest::addColumn<QString>("modality");
    QTest::addColumn<QString>("burnedIn");
    QTest::addColumn<QString>("imageType");
    QTest::addColumn<bool>("hasPixels");
    QTest::addColumn<QString>("why"); // empty: not flagged

    const QString ct = QStringLiteral("1.2.840.10008.5.1.4.1.1.2");
    const QString us = QStringLiteral("1.2.840.10008.5.1.4.1.1.6.1");
    const QString sc = QStringLiteral("1.2.840.10008.5.1.4.1.1.7");
    const QString sr = QStringLiteral("1.2.840.10008.5.1.4.1.1.88.22");
    const QString original = QStringLiteral("ORIGINAL\\PRIMARY\\AXIAL");
    QTest::addRow("CT, YES") << ct << "CT"
                             << "YES" << original << true << "BurnedInAnnotation is YES";
    QTest::addRow("CT, absent") << ct << "CT"
                                << "" << original << true << "";
    QTest::addRow("CT, NO") << ct << "CT"
                            << "NO" << original << true << "";
    QTest::addRow("US, absent") << us << "US"
                                << ""
                                << "" << true << "an ultrasound image without BurnedInAnnotation";
    QTest::addRow("US, NO") << us << "US"
                            << "NO"
                            << "" << true << "";
    QTest::addRow("US modality on an other SOP class, absent")
            << ct << "US"
            << ""
            << "" << true << "an ultrasound image without BurnedInAnnotation";
    QTest::addRow("secondary capture, absent")
            << sc << "OT"
            << ""
            << "" << true << "a secondary capture without BurnedInAnnotation";
    QTest::addRow("SC, YES") << sc << "OT"
                             << "YES"
                             << "" << true << "BurnedInAnnotation is YES";
    QTest::addRow("XC, absent") << ct << "XC"
                                << ""
                                << "" << true << "a photograph without BurnedInAnnotation";
    QTest::addRow("ES, absent") << ct << "ES"
                                << ""
                                << "" << true << "an endoscopy image without BurnedInAnnotation";
    QTest::addRow("OT, absent") << ct << "OT"
                                << ""
                                << "" << true
                                << "an image of modality OT without BurnedInAnnotation";
    QTest::addRow("CT SECONDARY, absent")
            << ct << "CT"
            << ""
            << "DERIVED\\SECONDARY" << true << "a SECONDARY image without BurnedInAnnotation";
    QTest::addRow("CT SECONDARY, NO") << ct << "CT"
                                      << "NO"
                                      << "DERIVED\\SECONDARY" << true << "";
    QTest::addRow("SR without pixels, YES") << sr << "SR"
                                            << "YES"
                                            << "" << false << "";
    QTest::addRow("OT without pixels") << sc << "OT"
                                       << ""
                                       << "" << false << "";
}

void TestBurnedInText::headerRules()
{
    QFETCH(QString, sopClass);
    QFETCH(QString, modality);
    QFETCH(QString, burnedIn);
    QFETCH(QString, imageType);
    QFETCH(bool, hasPixels);
    QFETCH(QString, why);

    TestDicom::Image image;
    if (hasPixels) {
        image.rows = 16;
        image.columns = 16;
        image.bits = 16;
        image.pixels.assign(16 * 16 * 2, '\0');
    }
    image.sopClass = sopClass.toStdString();
    image.modality = modality.toStdString();
    image.burnedIn = burnedIn.toStdString();
    image.imageType = imageType.toStdString();
    const QString path = m_dir.filePath(QStringLiteral("header.dcm"));
    QVERIFY(TestDicom::writeImage(path, image));

    const BurnedInText::Finding finding = assessFile(path, OcrMode::Off);
    QCOMPARE(finding.flagged, !why.isEmpty());
    QCOMPARE(finding.why, why);
    QVERIFY(!finding.ocrRan);
    // OCR of an empty image adds no reason of its own.
    QCOMPARE(assessFile(path, OcrMode::All).why, why);
}

void TestBurnedInText::ocrReadsText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("pixelSize");
    QTest::addColumn<bool>("whiteOnBlack");
    QTest::addColumn<int>("layout");
    QTest::addColumn<Syntax::TSType>("syntax");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<OcrMode>("mode");
    QTest::addColumn<QStringList>("expected"); // each among the words read, case-blind

    const QString name = QStringLiteral("DOE^JOHN\nID 123456");
    const QString written = QStringLiteral("John Doe 1937-04-12");
    const QStringList nameWords = { "DOE", "JOHN", "123456" };
    const QStringList writtenWords = { "John", "Doe", "1937-04-12" };
    const int grey = int(Layout::Grey8);
    const int rgb = int(Layout::Rgb);
    const int grey16 = int(Layout::Grey16);
    const Syntax::TSType native = Syntax::ExplicitVRLittleEndian;
    const QSize small(512, 512);
    const QSize wide(1024, 768);
    // Likely: the header says NO, so only the cheap image test brings OCR to it.
    QTest::addRow("sans 14 px, white on black, grey")
            << name << "DejaVu Sans" << 14 << true << grey << native << small << OcrMode::Likely
            << nameWords;
    QTest::addRow("sans 24 px, black on white, grey")
            << written << "DejaVu Sans" << 24 << false << grey << native << small << OcrMode::Likely
            << writtenWords;
    QTest::addRow("serif 18 px, white on black, RGB")
            << written << "Liberation Serif" << 18 << true << rgb << native << small
            << OcrMode::Likely << writtenWords;
    QTest::addRow("mono 16 px, black on white, RGB")
            << name << "Liberation Mono" << 16 << false << rgb << native << small << OcrMode::Likely
            << nameWords;
    QTest::addRow("sans 40 px, white on black, RGB 1024 x 768")
            << written << "DejaVu Sans" << 40 << true << rgb << native << wide << OcrMode::Likely
            << writtenWords;
    QTest::addRow("mono 20 px, JPEG baseline, grey")
            << name << "Liberation Mono" << 20 << true << grey << Syntax::JPEGBaselineProcess1
            << small << OcrMode::Likely << nameWords;
    QTest::addRow("serif 22 px, JPEG baseline, RGB")
            << written << "Liberation Serif" << 22 << false << rgb << Syntax::JPEGBaselineProcess1
            << small << OcrMode::Likely << writtenWords;
    QTest::addRow("sans 16 px, RLE, RGB")
            << name << "DejaVu Sans" << 16 << true << rgb << Syntax::RLELossless << small
            << OcrMode::Likely << nameWords;
    // A 16-bit grey image is read only when every image is.
    QTest::addRow("sans 18 px, 16-bit MONOCHROME2")
            << written << "DejaVu Sans" << 18 << true << grey16 << native << small << OcrMode::All
            << writtenWords;
    QTest::addRow("mono 18 px, 16-bit MONOCHROME2, RLE")
            << name << "Liberation Mono" << 18 << true << grey16 << Syntax::RLELossless << small
            << OcrMode::All << nameWords;
}

void TestBurnedInText::ocrReadsText()
{
    QFETCH(QString, text);
    QFETCH(QString, family);
    QFETCH(int, pixelSize);
    QFETCH(bool, whiteOnBlack);
    QFETCH(int, layout);
    QFETCH(Syntax::TSType, syntax);
    QFETCH(QSize, size);
    QFETCH(OcrMode, mode);
    QFETCH(QStringList, expected);

    Drawing d;
    d.text = text;
    d.family = family;
    d.pixelSize = pixelSize;
    d.whiteOnBlack = whiteOnBlack;
    d.width = size.width();
    d.height = size.height();
    TestDicom::Image image = dicomImage(draw(d), Layout(layout));
    image.burnedIn = "NO";
    const QString native = m_dir.filePath(QStringLiteral("text.dcm"));
    QVERIFY(TestDicom::writeImage(native, image));
    QString path = native;
    if (syntax != Syntax::ExplicitVRLittleEndian) {
        path = m_dir.filePath(QStringLiteral("text-compressed.dcm"));
        QVERIFY(TestDicom::recompress(native, path, syntax));
        QCOMPARE(Syntax(syntax), TestDicom::read(path)->GetHeader().GetDataSetTransferSyntax());
    }

    const BurnedInText::Finding finding = assessFile(path, mode);
    QVERIFY2(finding.ocrRan, qPrintable(finding.ocrProblem));
    QVERIFY(finding.flagged);
    QCOMPARE(finding.why, QStringLiteral("OCR found text"));
    const QString words = wordsOf(finding);
    for (const QString &word : expected)
        QVERIFY2(words.contains(word, Qt::CaseInsensitive), qPrintable(words));
    QCOMPARE(finding.boxes.size(), finding.words.size());
    for (const BurnedInText::Box &box : finding.boxes) {
        // Every word was drawn inside the text rectangle, 20 pixels in from the edges.
        QVERIFY(box.x >= 10 && box.y >= 10 && box.width > 0 && box.height > 0);
        QVERIFY(box.x + box.width <= d.width - 10 && box.y + box.height <= d.height - 10);
    }
}

void TestBurnedInText::cleanImagesNotFlagged_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("layout");
    QTest::addColumn<OcrMode>("mode");

    for (const OcrMode mode : { OcrMode::Likely, OcrMode::All }) {
        const char *m = mode == OcrMode::Likely ? "likely" : "all";
        QTest::addRow("gradient, grey, %s", m) << "gradient" << int(Layout::Grey8) << mode;
        QTest::addRow("noise, grey, %s", m) << "noise" << int(Layout::Grey8) << mode;
        QTest::addRow("noise, RGB, %s", m) << "noise" << int(Layout::Rgb) << mode;
        QTest::addRow("phantom, 16-bit, %s", m) << "phantom" << int(Layout::Grey16) << mode;
        QTest::addRow("phantom, grey, %s", m) << "phantom" << int(Layout::Grey8) << mode;
        QTest::addRow("black, RGB, %s", m) << "black" << int(Layout::Rgb) << mode;
    }
}

void TestBurnedInText::cleanImagesNotFlagged()
{
    QFETCH(QString, kind);
    QFETCH(int, layout);
    QFETCH(OcrMode, mode);

    QImage image(512, 512, QImage::Format_RGB888);
    image.fill(Qt::black);
    QRandomGenerator random(16);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            int v = 0;
            if (kind == QLatin1String("gradient")) {
                v = (x + y) / 4;
            } else if (kind == QLatin1String("noise")) {
                v = random.bounded(256);
            } else if (kind == QLatin1String("phantom")) {
                // A body-sized disc of soft tissue with a few denser round inserts.
                const double r = std::hypot(x - 256.0, y - 256.0);
                v = r < 200 ? 110 + random.bounded(12) : 0;
                if (std::hypot(x - 180.0, y - 256.0) < 30 || std::hypot(x - 330.0, y - 220.0) < 18)
                    v = 230;
            }
            image.setPixel(x, y, qRgb(v, v, v));
        }
    }
    const QString path = m_dir.filePath(QStringLiteral("clean.dcm"));
    TestDicom::Image dicom = dicomImage(image, Layout(layout));
    dicom.burnedIn = "NO";
    QVERIFY(TestDicom::writeImage(path, dicom));
    const BurnedInText::Finding finding = assessFile(path, mode);
    QVERIFY2(!finding.flagged, qPrintable(wordsOf(finding)));
    // Noise may keep OCR busy up to its time limit; nothing read counts either way.
    QVERIFY2(finding.ocrProblem.isEmpty() || finding.ocrProblem.contains(QLatin1String("time")),
             qPrintable(finding.ocrProblem));
    if (mode == OcrMode::All)
        QVERIFY(finding.ocrRan);
}

void TestBurnedInText::undecodablePixels_data()
{
    QTest::addColumn<QString>("modality");
    QTest::addColumn<int>("bits");
    QTest::addColumn<OcrMode>("mode");
    QTest::addColumn<bool>("decodeTried");
    QTest::addColumn<bool>("flagged");

    // A 16-bit CT image the header does not flag is not decoded in Likely mode: the broken
    // pixel data goes unnoticed there, as noticing would cost a decode.
    QTest::addRow("CT 16-bit, likely") << "CT" << 16 << OcrMode::Likely << false << false;
    QTest::addRow("CT 16-bit, all") << "CT" << 16 << OcrMode::All << true << false;
    QTest::addRow("CT 8-bit, likely") << "CT" << 8 << OcrMode::Likely << true << false;
    QTest::addRow("CT 16-bit, off") << "CT" << 16 << OcrMode::Off << false << false;
    QTest::addRow("US 16-bit, likely") << "US" << 16 << OcrMode::Likely << true << true;
    QTest::addRow("US 16-bit, off") << "US" << 16 << OcrMode::Off << false << true;
}

void TestBurnedInText::undecodablePixels()
{
    QFETCH(QString, modality);
    QFETCH(int, bits);
    QFETCH(OcrMode, mode);
    QFETCH(bool, decodeTried);
    QFETCH(bool, flagged);

    TestDicom::Image image;
    image.rows = 256;
    image.columns = 256;
    image.bits = bits;
    image.modality = modality.toStdString();
    image.pixels.assign(100, '\x7f'); // no JPEG 2000 codestream
    image.syntax = Syntax::JPEG2000Lossless;
    const QString path = m_dir.filePath(QStringLiteral("broken.dcm"));
    QVERIFY(TestDicom::writeImage(path, image));
    const BurnedInText::Finding finding = assessFile(path, mode);
    QCOMPARE(!finding.ocrProblem.isEmpty(), decodeTried);
    QVERIFY(!finding.ocrRan);
    QCOMPARE(finding.flagged, flagged);
}

void TestBurnedInText::blankRemovesText_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<bool>("whiteOnBlack");
    QTest::addRow("grey, white on black") << int(Layout::Grey8) << true;
    QTest::addRow("RGB, black on white") << int(Layout::Rgb) << false;
    QTest::addRow("16-bit, white on black") << int(Layout::Grey16) << true;
}

void TestBurnedInText::blankRemovesText()
{
    QFETCH(int, layout);
    QFETCH(bool, whiteOnBlack);

    Drawing d;
    d.text = QStringLiteral("DOE^JOHN 1937-04-12\n\n\n\n\n\n\n\nID 123456");
    d.pixelSize = 20;
    d.whiteOnBlack = whiteOnBlack;
    const QString path = m_dir.filePath(QStringLiteral("toblank.dcm"));
    QVERIFY(TestDicom::writeImage(path, dicomImage(draw(d), Layout(layout))));
    const BurnedInText::Finding before = assessFile(path, OcrMode::All);
    QVERIFY(before.flagged);
    QVERIFY(before.boxes.size() >= 3);

    gdcm::Reader reader;
    reader.SetFileName(path.toStdString().c_str());
    QVERIFY(reader.Read());
    const QByteArray pixelsBefore = TestDicom::valueOf(reader.GetFile(), TestDicom::pixelData);
    QCOMPARE(BurnedInText::blank(reader.GetFile().GetDataSet(), before.boxes),
             int(before.boxes.size()));
    const QString blanked = m_dir.filePath(QStringLiteral("blanked.dcm"));
    gdcm::Writer writer;
    writer.SetFile(reader.GetFile());
    writer.SetFileName(blanked.toStdString().c_str());
    QVERIFY(writer.Write());

    const BurnedInText::Finding after = assessFile(blanked, OcrMode::All);
    QVERIFY(after.ocrRan);
    QVERIFY2(after.words.empty(), qPrintable(wordsOf(after)));
    QVERIFY(!after.flagged);
    // Only the boxes changed: the same length, and a white-on-black image stays black around.
    const QByteArray pixelsAfter
            = TestDicom::valueOf(*TestDicom::read(blanked), TestDicom::pixelData);
    QCOMPARE(pixelsAfter.size(), pixelsBefore.size());
    QVERIFY(pixelsAfter != pixelsBefore);
    if (whiteOnBlack)
        QCOMPARE(pixelsAfter.count('\0'), pixelsAfter.size());
}

void TestBurnedInText::blankRefuses()
{
    Drawing d;
    d.text = QStringLiteral("DOE^JOHN");
    const QString native = m_dir.filePath(QStringLiteral("refuse.dcm"));
    QVERIFY(TestDicom::writeImage(native, dicomImage(draw(d), Layout::Grey8)));
    const std::vector<BurnedInText::Box> boxes = { { 10, 10, 100, 30 } };

    // Compressed pixel data is left as it is.
    const QString jpeg = m_dir.filePath(QStringLiteral("refuse-jpeg.dcm"));
    QVERIFY(TestDicom::recompress(native, jpeg, Syntax::JPEGBaselineProcess1));
    std::optional<gdcm::File> file = TestDicom::read(jpeg);
    QVERIFY(file
            && file->GetDataSet().GetDataElement(TestDicom::pixelData).GetSequenceOfFragments());
    const gdcm::DataElement encapsulated = file->GetDataSet().GetDataElement(TestDicom::pixelData);
    QCOMPARE(BurnedInText::blank(file->GetDataSet(), boxes), 0);
    QVERIFY(file->GetDataSet().GetDataElement(TestDicom::pixelData) == encapsulated);

    // No pixel data, or pixel data shorter than the image says: nothing to paint.
    file = TestDicom::read(native);
    file->GetDataSet().Remove(TestDicom::pixelData);
    QCOMPARE(BurnedInText::blank(file->GetDataSet(), boxes), 0);
    file->GetDataSet().Insert(TestDicom::element(TestDicom::pixelData, gdcm::VR::OB, "short"));
    QCOMPARE(BurnedInText::blank(file->GetDataSet(), boxes), 0);
    QCOMPARE(TestDicom::valueOf(*file, TestDicom::pixelData), QByteArray("short\0", 6));

    // Boxes beyond the image are clipped to it, or skipped when wholly outside.
    file = TestDicom::read(native);
    QCOMPARE(
            BurnedInText::blank(file->GetDataSet(),
                                { { 500, 500, 100, 100 }, { 600, 600, 10, 10 }, { -5, -5, 8, 8 } }),
            2);
}

// The per-file path: a copy whose image shows the patient's name is residue (7FE0,0010), said
// to match the patient; --strict refuses it; --blank-text paints the words over and keeps it.
void TestBurnedInText::throughTheCopy_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("blankText");
    QTest::addColumn<bool>("strict");
    QTest::addColumn<QString>("status"); // the report's words
    QTest::addRow("the patient's name") << "ROE JANE" << false << false
                                        << "written with residue: image text (the image may "
                                           "show text that matches the patient): (7FE0,0010)";
    QTest::addRow("other text") << "LEFT KNEE" << false << false
                                << "written with residue: image text (the image may show "
                                   "text): (7FE0,0010)";
    QTest::addRow("strict") << "ROE JANE" << false << true << "failed: residue (7FE0,0010)";
    QTest::addRow("blanked") << "ROE JANE" << true << false << "written";
}

void TestBurnedInText::throughTheCopy()
{
    QFETCH(QString, text);
    QFETCH(bool, blankText);
    QFETCH(bool, strict);
    QFETCH(QString, status);
    Drawing d;
    d.text = text;
    d.pixelSize = 28;
    TestDicom::Image image = dicomImage(draw(d), Layout::Grey8);
    image.burnedIn = "NO"; // OCR alone finds the text
    const QString input = m_dir.filePath(QStringLiteral("job/in/a.dcm"));
    QVERIFY(TestDicom::writeImage(input, image));
    // Only the image: the profile empty, so its residue is all there is.
    FileAnonymizer::Options options{
        { true, 0, std::make_shared<const UidMap>(QByteArray(32, 'k')) }, strict };
    options.blankText = blankText;
    FileAnonymizer::Folders folders;
    const QString output = m_dir.filePath(QStringLiteral("job/out/a.dcm"));
    QFile::remove(output);
    const FileOutcome outcome = FileAnonymizer::anonymizeFile(
            input, output, FileAnonymizer::compileProfile(TagProfile::load()), options, folders);
    QString words = outcome.status == FileOutcome::Status::Failed
            ? QStringLiteral("failed: ") + outcome.reason
            : outcome.residue.isEmpty() ? QStringLiteral("written")
                                        : QStringLiteral("written with residue: ")
                    + JobReport::residueWords(outcome.residueKinds) + QStringLiteral(": ")
                    + outcome.residue.join(QStringLiteral(", "));
    QCOMPARE(words, status);
    QCOMPARE(QFileInfo::exists(output), !strict);
    if (blankText) {
        QVERIFY(outcome.blankedBoxes >= 2);
        QVERIFY(assessFile(output, OcrMode::All).words.empty());
    }
}

void TestBurnedInText::realFiles_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("why");
    QTest::addColumn<QString>("word");

    // GDCM's ImageReader asserts on this one (spacing along a frame increment pointer, without
    // NumberOfFrames), which would end the whole job.
    QTest::addRow("one-frame RT dose") << "rtdose_1frame.dcm"
                                       << ""
                                       << "";
    QTest::addRow("JPEG 2000 secondary capture showing words")
            << "GDCMJ2K_TextGBR.dcm"
            << "a secondary capture without BurnedInAnnotation, OCR found text"
            << "green";
    QTest::addRow("derived MR") << "MR_small.dcm"
                                << "a SECONDARY image without BurnedInAnnotation"
                                << "";
}

void TestBurnedInText::realFiles()
{
    QFETCH(QString, name);
    QFETCH(QString, why);
    QFETCH(QString, word);
    const QString path = QDir(TestDicom::pydicomFiles()).filePath(name);
    if (!QFileInfo::exists(path))
        QSKIP("pydicom's test files are not installed");
    const BurnedInText::Finding finding = assessFile(path, OcrMode::All);
    QVERIFY2(finding.ocrRan, qPrintable(finding.ocrProblem));
    QCOMPARE(finding.why, why);
    if (!word.isEmpty())
        QVERIFY2(wordsOf(finding).contains(word), qPrintable(wordsOf(finding)));
}

QTEST_MAIN(TestBurnedInText)
#include "tst_burnedintext.moc"
