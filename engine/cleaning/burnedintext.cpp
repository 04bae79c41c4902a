#include "engine/cleaning/burnedintext.h"

#include "engine/dicom/dicomfacts.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <gdcmAttribute.h>
#include <gdcmDataSet.h>
#include <gdcmMediaStorage.h>
#include <gdcmPixelFormat.h>
#include <gdcmReader.h>
#include <gdcmTransferSyntax.h>

#include <allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

// From libgomp, the OpenMP runtime Debian's Tesseract is built with (declared here rather than
// through omp.h, which clang's own headers lack).
extern "C" void omp_set_max_active_levels(int levels);

namespace BurnedInText {

namespace {

const gdcm::Tag pixelDataTag = DicomFacts::pixelData;
const gdcm::Tag burnedInTag(0x0028, 0x0301);
const gdcm::Tag modalityTag = DicomFacts::modality;
const gdcm::Tag sopClassTag = DicomFacts::sopClassUid;
const gdcm::Tag imageTypeTag(0x0008, 0x0008);
const gdcm::Tag rowsTag(0x0028, 0x0010);
const gdcm::Tag columnsTag(0x0028, 0x0011);
const gdcm::Tag samplesTag(0x0028, 0x0002);
const gdcm::Tag photometricTag(0x0028, 0x0004);
const gdcm::Tag planarConfigurationTag(0x0028, 0x0006);
const gdcm::Tag bitsAllocatedTag(0x0028, 0x0100);
const gdcm::Tag bitsStoredTag(0x0028, 0x0101);
const gdcm::Tag pixelRepresentationTag(0x0028, 0x0103);

// OCR reads the first frame at about this width: text of an ordinary 512-pixel image (cap
// height 7 to 12 pixels) doubles to what Tesseract reads best, and a large image shrinks to
// what it reads in well under a second.
constexpr double ocrMinWidth = 1000;
constexpr double ocrMaxWidth = 1500;
constexpr double ocrMaxUpscale = 4;
// A word counts when it holds at least two letters or digits in a row of which Tesseract is
// very sure (rendered text reads at 99 and more per letter), or when the whole word of two
// letters or digits or more is fairly sure. Noise and speckle read as words too, but at most
// one letter in a row reaches 97, and no word of two letters reaches 60 (measured on random
// pixels; see the tests' clean images).
constexpr float minSymbolConfidence = 97;
constexpr float minWordConfidence = 80;
constexpr int minSureRun = 2;
// The longest OCR of one frame. Text-bearing frames take 0.1 to 1 s.
constexpr int ocrDeadlineMs = 3000;
// Decoding stops short of images larger than this (a header that lies about its size).
constexpr unsigned long maxDecodedBytes = 1ul << 30;

QString textOf(const gdcm::DataSet &ds, const gdcm::Tag &tag)
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
int ushortOf(const gdcm::DataSet &ds, const gdcm::Tag &tag)
{
    if (!ds.FindDataElement(tag))
        return 0;
    const gdcm::ByteValue *bv = ds.GetDataElement(tag).GetByteValue();
    if (!bv || bv->GetLength() < 2)
        return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(bv->GetPointer());
    return p[0] | (p[1] << 8);
}

struct Header
{
    bool image = false;
    QString ruleWhy; // non-empty: the header says the image may show text
    int bitsAllocated = 0;
    int samples = 0;
};

// The kinds of image that usually carry text, by SOP class, then by modality, then by image
// type; empty for others.
QString usualTextKind(const gdcm::DataSet &ds)
{
    using MS = gdcm::MediaStorage;
    const std::string sop = textOf(ds, sopClassTag).toStdString();
    switch (MS::GetMSType(sop.c_str())) {
    case MS::UltrasoundImageStorageRetired:
    case MS::UltrasoundImageStorage:
    case MS::UltrasoundMultiFrameImageStorageRetired:
    case MS::UltrasoundMultiFrameImageStorage:
        return QStringLiteral("an ultrasound image");
    case MS::SecondaryCaptureImageStorage:
    case MS::MultiframeSingleBitSecondaryCaptureImageStorage:
    case MS::MultiframeGrayscaleByteSecondaryCaptureImageStorage:
    case MS::MultiframeGrayscaleWordSecondaryCaptureImageStorage:
    case MS::MultiframeTrueColorSecondaryCaptureImageStorage:
        return QStringLiteral("a secondary capture");
    case MS::VLEndoscopicImageStorage:
    case MS::VideoEndoscopicImageStorage:
        return QStringLiteral("an endoscopy image");
    case MS::VLPhotographicImageStorage:
    case MS::VideoPhotographicImageStorage:
        return QStringLiteral("a photograph");
    default:
        break;
    }
    const QString modality = textOf(ds, modalityTag).toUpper();
    if (modality == QLatin1String("US") || modality == QLatin1String("IVUS"))
        return QStringLiteral("an ultrasound image");
    if (modality == QLatin1String("ES"))
        return QStringLiteral("an endoscopy image");
    if (modality == QLatin1String("XC"))
        return QStringLiteral("a photograph");
    if (modality == QLatin1String("DOC"))
        return QStringLiteral("a document image");
    if (modality == QLatin1String("OT") || modality == QLatin1String("SC"))
        return QStringLiteral("an image of modality ") + modality;
    const QStringList imageType = textOf(ds, imageTypeTag).toUpper().split(QLatin1Char('\\'));
    for (const QString &value : imageType) {
        if (value.trimmed() == QLatin1String("SECONDARY"))
            return QStringLiteral("a SECONDARY image");
    }
    return {};
}

Header readHeader(const gdcm::DataSet &ds, bool pixelDataApart)
{
    Header h;
    // A read that stopped before the pixel data leaves it out of the data set: the caller
    // says it is there; the image pixel module's size tells an image too.
    h.image = pixelDataApart || ds.FindDataElement(pixelDataTag)
            || (ushortOf(ds, rowsTag) > 0 && ushortOf(ds, columnsTag) > 0);
    if (!h.image)
        return h;
    h.bitsAllocated = ushortOf(ds, bitsAllocatedTag);
    h.samples = ushortOf(ds, samplesTag);
    const QString burnedIn = textOf(ds, burnedInTag).toUpper();
    if (burnedIn == QLatin1String("YES")) {
        h.ruleWhy = QStringLiteral("BurnedInAnnotation is YES");
    } else if (!ds.FindDataElement(burnedInTag) || burnedIn.isEmpty()) {
        const QString kind = usualTextKind(ds);
        if (!kind.isEmpty())
            h.ruleWhy = kind + QStringLiteral(" without BurnedInAnnotation");
    }
    return h;
}

// The first frame as 8-bit grey, row after row, darkest 0.
struct Grey
{
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
};

// One sample of the decoded buffer as a number, masked to the bits stored.
class SampleReader
{
public:
    explicit SampleReader(const gdcm::PixelFormat &pf)
        : m_type(pf.GetScalarType()), m_bits(pf.GetBitsStored()),
          m_signed(pf.GetPixelRepresentation() == 1)
    { }

    int bytes() const
    {
        switch (m_type) {
        case gdcm::PixelFormat::UINT8:
        case gdcm::PixelFormat::INT8:
            return 1;
        case gdcm::PixelFormat::UINT16:
        case gdcm::PixelFormat::INT16:
            return 2;
        case gdcm::PixelFormat::UINT32:
        case gdcm::PixelFormat::INT32:
            return 4;
        default:
            return 0; // 1-bit, 12-bit packed, floats: not read
        }
    }

    double at(const char *p) const
    {
        uint32_t raw = 0;
        switch (bytes()) {
        case 1:
            raw = static_cast<uint8_t>(*p);
            break;
        case 2: {
            uint16_t v;
            std::memcpy(&v, p, 2);
            raw = v;
            break;
        }
        default:
            std::memcpy(&raw, p, 4);
            break;
        }
        const int width = bytes() * 8;
        if (m_bits <= 0 || m_bits >= width)
            return m_signed ? (width == 8            ? double(int8_t(raw))
                                       : width == 16 ? double(int16_t(raw))
                                                     : double(int32_t(raw)))
                            : double(raw);
        raw &= (uint32_t(1) << m_bits) - 1;
        if (m_signed && (raw & (uint32_t(1) << (m_bits - 1))))
            return double(raw) - double(uint64_t(1) << m_bits);
        return double(raw);
    }

private:
    gdcm::PixelFormat::ScalarType m_type;
    int m_bits;
    bool m_signed;
};

// One frame of pixels as they lie in memory, native, little endian.
struct Frame
{
    int width = 0;
    int height = 0;
    int samples = 0;
    int bitsAllocated = 0;
    int bitsStored = 0;
    int representation = 0;
    bool planar = false;
    std::string photometric;
    const char *data = nullptr;
    std::size_t size = 0;
};

// The frame brought to 8-bit grey: colour to luma (Y of YBR; palette indices as they are),
// the frame's own minimum and maximum stretched to 0 and 255 (no window: text is drawn at the
// extremes), MONOCHROME1 turned round. False, with `problem` set, for values it cannot read;
// every value it depends on is checked first.
bool toGrey(const Frame &frame, Grey &grey, QString &problem)
{
    problem = QStringLiteral("the pixel data cannot be decoded");
    const int w = frame.width;
    const int h = frame.height;
    const int samples = frame.samples;
    const int bitsAllocated = frame.bitsAllocated;
    const int bitsStored = frame.bitsStored;
    const int representation = frame.representation;
    const std::string &photometric = frame.photometric;
    if (w <= 0 || h <= 0 || (samples != 1 && samples != 3)
        || (bitsAllocated != 8 && bitsAllocated != 16 && bitsAllocated != 32) || bitsStored <= 0
        || bitsStored > bitsAllocated || representation < 0 || representation > 1)
        return false;
    const std::size_t count = std::size_t(w) * std::size_t(h);
    const std::size_t step = std::size_t(bitsAllocated / 8);
    const std::size_t frameBytes = count * std::size_t(samples) * step;
    if (frameBytes > maxDecodedBytes) {
        problem = QStringLiteral("the image is too large to decode");
        return false;
    }
    if (!frame.data || frame.size < frameBytes)
        return false;
    const char *buffer = frame.data;
    const SampleReader sample(gdcm::PixelFormat(
            static_cast<unsigned short>(samples), static_cast<unsigned short>(bitsAllocated),
            static_cast<unsigned short>(bitsStored), static_cast<unsigned short>(bitsStored - 1),
            static_cast<unsigned short>(representation)));
    const bool planar = samples == 3 && frame.planar;
    const bool ybr = samples == 3 && photometric.rfind("YBR", 0) == 0;
    std::vector<float> luma(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (samples == 1) {
            luma[i] = float(sample.at(buffer + i * step));
            continue;
        }
        const auto channel = [&](std::size_t c) {
            const std::size_t index = planar ? c * count + i : i * 3 + c;
            return sample.at(buffer + index * step);
        };
        luma[i] = ybr ? float(channel(0))
                      : float(0.299 * channel(0) + 0.587 * channel(1) + 0.114 * channel(2));
    }
    const auto [lo, hi] = std::minmax_element(luma.begin(), luma.end());
    const float low = *lo;
    const float range = std::max(*hi - low, 1e-6f);
    const bool inverted = photometric == "MONOCHROME1";
    grey.width = w;
    grey.height = h;
    grey.pixels.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const int v = int(std::lround((luma[i] - low) * 255.0f / range));
        grey.pixels[i] = uint8_t(inverted ? 255 - v : v);
    }
    problem.clear();
    return true;
}

// The first frame of native pixel data in grey. The bytes are read here from the pixel data
// element, not through GDCM's pixmap readers: those assert (ending the process) on values such
// as a SamplesPerPixel over 4 or an RT dose of one frame whose FrameIncrementPointer names a
// vector.
bool decodeFirstFrame(const gdcm::DataSet &ds, Grey &grey, QString &problem)
{
    problem = QStringLiteral("the pixel data cannot be decoded");
    Frame frame;
    frame.width = ushortOf(ds, columnsTag);
    frame.height = ushortOf(ds, rowsTag);
    frame.samples = ushortOf(ds, samplesTag);
    frame.bitsAllocated = ushortOf(ds, bitsAllocatedTag);
    frame.bitsStored = ushortOf(ds, bitsStoredTag);
    frame.representation = ushortOf(ds, pixelRepresentationTag);
    frame.planar = ushortOf(ds, planarConfigurationTag) == 1;
    frame.photometric = textOf(ds, photometricTag).toStdString();
    // Native 4:2:2 colour keeps two lumas to one pair of chromas: not read.
    if (frame.photometric == "YBR_FULL_422" || !ds.FindDataElement(pixelDataTag))
        return false;
    const gdcm::ByteValue *value = ds.GetDataElement(pixelDataTag).GetByteValue();
    if (!value || !value->GetPointer())
        return false;
    frame.data = value->GetPointer();
    frame.size = value->GetLength();
    return toGrey(frame, grey, problem);
}

// The cheap test: does the frame hold many short high-contrast strokes (a rise and a fall a
// few pixels apart along a row, as letters make), without being noise (where most pixels
// are edges)? Looks at every second row; a 1024 x 768 frame takes about a millisecond.
bool looksLikeText(const Grey &grey)
{
    constexpr int contrast = 96;
    constexpr int maxStroke = 8; // pixels between the two edges of one stroke
    long strokes = 0;
    long edges = 0;
    long looked = 0;
    for (int y = 0; y < grey.height; y += 2) {
        const uint8_t *row = grey.pixels.data() + std::size_t(y) * std::size_t(grey.width);
        int lastEdge = -1000;
        int lastSign = 0;
        for (int x = 1; x < grey.width; ++x) {
            const int d = int(row[x]) - int(row[x - 1]);
            if (std::abs(d) < contrast)
                continue;
            ++edges;
            const int sign = d > 0 ? 1 : -1;
            if (sign == -lastSign && x - lastEdge <= maxStroke)
                ++strokes;
            lastEdge = x;
            lastSign = sign;
        }
        looked += grey.width;
    }
    return strokes >= 12 && edges * 20 < looked; // under 5 % of pixels on an edge
}

// Tesseract, one per thread, made on first use; stays null where it cannot start.
struct ThreadOcr
{
    std::unique_ptr<tesseract::TessBaseAPI> api;
    bool tried = false;
};

tesseract::TessBaseAPI *threadOcr()
{
    thread_local ThreadOcr ocr;
    if (!ocr.tried) {
        ocr.tried = true;
        // Tesseract splits parts of its work among OpenMP threads; with a job's workers already
        // on every core that only adds hand-offs (measured: 2.5 times slower per image on two
        // cores). Nested or not, each OCR then runs on its caller's thread.
        omp_set_max_active_levels(0);
        auto api = std::make_unique<tesseract::TessBaseAPI>();
        // Tesseract's own messages (resolution guesses, page layout notes) go nowhere; its
        // settings given at Init apply before it loads the model.
        std::vector<std::string> names = { "debug_file" };
        std::vector<std::string> values = { "/dev/null" };
        if (api->Init(nullptr, "eng", tesseract::OEM_LSTM_ONLY, nullptr, 0, &names, &values, false)
            == 0) {
            api->SetPageSegMode(tesseract::PSM_SPARSE_TEXT);
            ocr.api = std::move(api);
        }
    }
    return ocr.api.get();
}

int alnumCount(const QString &word)
{
    return int(
            std::count_if(word.begin(), word.end(), [](QChar c) { return c.isLetterOrNumber(); }));
}

// Runs OCR on the frame, scaled to what Tesseract reads best, and keeps the words it is sure
// of, with their boxes in the frame's coordinates.
bool recognise(const Grey &grey, Finding &finding)
{
    tesseract::TessBaseAPI *api = threadOcr();
    if (!api) {
        finding.ocrProblem = QStringLiteral("OCR is not available");
        return false;
    }
    double scale = 1;
    if (grey.width < ocrMinWidth)
        scale = std::min(ocrMinWidth / grey.width, ocrMaxUpscale);
    else if (grey.width > ocrMaxWidth)
        scale = ocrMaxWidth / grey.width;

    // Tesseract reads dark text on a light page best: a mostly dark image is turned round.
    long sum = 0;
    for (uint8_t v : grey.pixels)
        sum += v;
    const bool invert = sum < long(grey.pixels.size()) * 128;

    Pix *pix = pixCreate(grey.width, grey.height, 8);
    if (!pix) {
        finding.ocrProblem = QStringLiteral("out of memory for OCR");
        return false;
    }
    for (int y = 0; y < grey.height; ++y) {
        l_uint32 *line = pixGetData(pix) + y * pixGetWpl(pix);
        const uint8_t *row = grey.pixels.data() + std::size_t(y) * std::size_t(grey.width);
        for (int x = 0; x < grey.width; ++x)
            SET_DATA_BYTE(line, x, invert ? 255 - row[x] : row[x]);
    }
    Pix *scaled = scale == 1 ? pixClone(pix) : pixScale(pix, float(scale), float(scale));
    pixDestroy(&pix);
    if (!scaled) {
        finding.ocrProblem = QStringLiteral("out of memory for OCR");
        return false;
    }
    api->SetImage(scaled);
    api->SetSourceResolution(300);
    // A frame whose background is fine noise (a near-blank JPEG, speckle) binarises into
    // thousands of specks that Tesseract would try to read for many seconds: it stops at the
    // deadline, and what it read so far counts.
    tesseract::ETEXT_DESC monitor;
    monitor.set_deadline_msecs(ocrDeadlineMs);
    const int failed = api->Recognize(&monitor);
    finding.ocrRan = failed == 0 || monitor.deadline_exceeded();
    if (monitor.deadline_exceeded())
        finding.ocrProblem = QStringLiteral("OCR stopped at its time limit");
    if (finding.ocrRan) {
        std::unique_ptr<tesseract::ResultIterator> it(api->GetIterator());
        // Walks symbol by symbol, so that a word counts by its surest run of letters and
        // digits: a name written "DOE^JOHN" reads as "DOE*JOHN" with the caret unsure and
        // the word's own confidence low, while D, O, E, J, O, H, N are sure.
        struct Word
        {
            QString text;
            int left = 0, top = 0, right = 0, bottom = 0;
            int run = 0; // sure letters and digits in a row so far
            int bestRun = 0;
            float confidence = 0;
        };
        std::vector<Word> read;
        if (it && !it->Empty(tesseract::RIL_SYMBOL)) {
            do {
                if (it->IsAtBeginningOf(tesseract::RIL_WORD) || read.empty()) {
                    Word word;
                    std::unique_ptr<char[]> text(it->GetUTF8Text(tesseract::RIL_WORD));
                    word.text = text ? QString::fromUtf8(text.get()).trimmed() : QString();
                    it->BoundingBox(tesseract::RIL_WORD, &word.left, &word.top, &word.right,
                                    &word.bottom);
                    word.confidence = it->Confidence(tesseract::RIL_WORD);
                    read.push_back(word);
                }
                Word &word = read.back();
                std::unique_ptr<char[]> symbol(it->GetUTF8Text(tesseract::RIL_SYMBOL));
                const QString s = symbol ? QString::fromUtf8(symbol.get()) : QString();
                const bool sure = it->Confidence(tesseract::RIL_SYMBOL) >= minSymbolConfidence;
                word.run = sure && alnumCount(s) > 0 ? word.run + 1 : 0;
                word.bestRun = std::max(word.bestRun, word.run);
            } while (it->Next(tesseract::RIL_SYMBOL));
        }
        for (const Word &word : read) {
            if (word.bestRun < minSureRun
                && (word.confidence < minWordConfidence || alnumCount(word.text) < minSureRun))
                continue;
            Box box;
            box.x = std::clamp(int(std::floor(word.left / scale)), 0, grey.width);
            box.y = std::clamp(int(std::floor(word.top / scale)), 0, grey.height);
            box.width = std::clamp(int(std::ceil(word.right / scale)), 0, grey.width) - box.x;
            box.height = std::clamp(int(std::ceil(word.bottom / scale)), 0, grey.height) - box.y;
            finding.words.push_back(word.text.toStdString());
            finding.boxes.push_back(box);
        }
    } else {
        finding.ocrProblem = QStringLiteral("OCR failed");
    }
    api->Clear();
    pixDestroy(&scaled);
    return finding.ocrRan;
}

void addWhy(Finding &finding, const QString &why)
{
    finding.flagged = true;
    if (!finding.why.isEmpty())
        finding.why += QStringLiteral(", ");
    finding.why += why;
}

// The first frame decoded by vexar-pixel-decoder, beside this program, in a process of its
// own: GDCM's decoders of compressed pixel data assert (ending the process) on some damaged
// streams that pass every check before them.
bool decodeInChild(const QString &path, Grey &grey, QString &problem)
{
    problem = QStringLiteral("compressed pixel data cannot be decoded here");
    if (!QCoreApplication::instance())
        return false;
    const QString decoder
            = QCoreApplication::applicationDirPath() + QStringLiteral("/vexar-pixel-decoder");
    if (!QFileInfo(decoder).isExecutable())
        return false;
    QProcess child;
    child.setStandardErrorFile(QProcess::nullDevice());
    child.start(decoder, { path }, QIODevice::ReadOnly);
    if (!child.waitForStarted(10000))
        return false;
    if (!child.waitForFinished(30000)) {
        child.kill();
        child.waitForFinished(5000);
        problem = QStringLiteral("the pixel data took too long to decode");
        return false;
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0) {
        problem = QStringLiteral("GDCM cannot decode the pixel data");
        return false;
    }
    const QByteArray out = child.readAllStandardOutput();
    const qsizetype end = out.indexOf('\n');
    // GDCM pads the photometric interpretation's name to an even length.
    const QList<QByteArray> fields = out.left(end).simplified().split(' ');
    if (end < 0 || fields.size() != 8)
        return false;
    Frame frame;
    frame.width = fields.at(0).toInt();
    frame.height = fields.at(1).toInt();
    frame.samples = fields.at(2).toInt();
    frame.bitsAllocated = fields.at(3).toInt();
    frame.bitsStored = fields.at(4).toInt();
    frame.representation = fields.at(5).toInt();
    frame.planar = fields.at(6) == "1";
    frame.photometric = fields.at(7).toStdString();
    frame.data = out.constData() + end + 1;
    frame.size = std::size_t(out.size() - end - 1);
    return toGrey(frame, grey, problem);
}

} // namespace

Finding assess(const QString &path, const gdcm::DataSet &ds, OcrMode mode, bool pixelDataApart)
{
    Finding finding;
    const Header header = readHeader(ds, pixelDataApart);
    if (!header.image)
        return finding;
    if (!header.ruleWhy.isEmpty())
        addWhy(finding, header.ruleWhy);
    if (mode == OcrMode::Off)
        return finding;
    // In Likely mode a grey image of more than 8 bits (CT, MR, most X-ray) that the header
    // does not flag is left undecoded: the cheap test would cost more than the whole copy.
    const bool cheapTestOnly = mode == OcrMode::Likely && header.ruleWhy.isEmpty();
    if (cheapTestOnly && header.bitsAllocated != 8 && header.samples != 3)
        return finding;

    // The file read again whole, for its pixel data: the caller may have read it only up to
    // the pixel data, and it passed the structural check that keeps GDCM's reader safe.
    gdcm::Reader reader;
    bool read = false;
    try {
        reader.SetFileName(path.toStdString().c_str());
        read = reader.Read();
    } catch (...) {
        read = false;
    }
    if (!read) {
        finding.ocrProblem = QStringLiteral("the pixel data cannot be decoded");
        return finding;
    }
    // Native little-endian pixel data is read here; anything else by GDCM's decoders, apart.
    const gdcm::TransferSyntax &syntax = reader.GetFile().GetHeader().GetDataSetTransferSyntax();
    const bool native
            = !syntax.IsEncapsulated() && syntax != gdcm::TransferSyntax::ExplicitVRBigEndian;
    Grey grey;
    if (native ? !decodeFirstFrame(reader.GetFile().GetDataSet(), grey, finding.ocrProblem)
               : !decodeInChild(path, grey, finding.ocrProblem))
        return finding;
    if (cheapTestOnly && !looksLikeText(grey))
        return finding;
    if (recognise(grey, finding) && !finding.words.empty())
        addWhy(finding, QStringLiteral("OCR found text"));
    return finding;
}

int blank(gdcm::DataSet &dataSet, const std::vector<Box> &boxes)
{
    if (boxes.empty() || !dataSet.FindDataElement(pixelDataTag))
        return 0;
    const gdcm::DataElement &pixels = dataSet.GetDataElement(pixelDataTag);
    const gdcm::ByteValue *bv = pixels.GetByteValue();
    if (!bv || pixels.GetSequenceOfFragments())
        return 0;
    const int rows = ushortOf(dataSet, rowsTag);
    const int columns = ushortOf(dataSet, columnsTag);
    const int samples = std::max(ushortOf(dataSet, samplesTag), 1);
    const int bitsAllocated = ushortOf(dataSet, bitsAllocatedTag);
    const int bytes = bitsAllocated / 8;
    if (rows <= 0 || columns <= 0 || (samples != 1 && samples != 3)
        || (bitsAllocated != 8 && bitsAllocated != 16 && bitsAllocated != 32))
        return 0;
    const std::size_t count = std::size_t(rows) * std::size_t(columns);
    const std::size_t frameBytes = count * std::size_t(samples) * std::size_t(bytes);
    if (bv->GetLength() < frameBytes)
        return 0;
    const bool isSigned = ushortOf(dataSet, pixelRepresentationTag) == 1;
    const bool planar = samples == 3 && ushortOf(dataSet, planarConfigurationTag) == 1;
    const QString photometric = textOf(dataSet, photometricTag).toUpper();
    const bool monochrome1 = photometric == QLatin1String("MONOCHROME1");
    const bool ybr = samples == 3 && photometric.startsWith(QLatin1String("YBR"));

    std::vector<char> data(bv->GetPointer(), bv->GetPointer() + bv->GetLength());
    const auto index = [&](std::size_t pixel, int channel) {
        return (planar ? std::size_t(channel) * count + pixel
                       : pixel * std::size_t(samples) + std::size_t(channel))
                * std::size_t(bytes);
    };
    const auto read = [&](std::size_t at) -> int64_t {
        if (bytes == 1)
            return isSigned ? int8_t(data[at]) : uint8_t(data[at]);
        if (bytes == 2) {
            uint16_t v;
            std::memcpy(&v, data.data() + at, 2);
            return isSigned ? int16_t(v) : v;
        }
        uint32_t v;
        std::memcpy(&v, data.data() + at, 4);
        return isSigned ? int64_t(int32_t(v)) : int64_t(v);
    };
    const auto write = [&](std::size_t at, int64_t value) {
        if (bytes == 1)
            data[at] = char(uint8_t(value));
        else if (bytes == 2) {
            const uint16_t v = uint16_t(value);
            std::memcpy(data.data() + at, &v, 2);
        } else {
            const uint32_t v = uint32_t(value);
            std::memcpy(data.data() + at, &v, 4);
        }
    };

    // The darkest value of each sample over the first frame; chroma of YBR stays neutral.
    std::vector<int64_t> fill(static_cast<std::size_t>(samples), 0);
    for (int c = 0; c < samples; ++c) {
        int64_t low = read(index(0, c));
        int64_t high = low;
        for (std::size_t i = 1; i < count; ++i) {
            const int64_t v = read(index(i, c));
            low = std::min(low, v);
            high = std::max(high, v);
        }
        fill[std::size_t(c)] = monochrome1 ? high : low;
        if (ybr && c > 0)
            fill[std::size_t(c)] = int64_t(1) << (bitsAllocated - 1);
    }

    // Anti-aliased edges of letters reach a pixel or two beyond the box OCR gives.
    constexpr int margin = 2;
    int painted = 0;
    for (const Box &box : boxes) {
        const int x0 = std::max(box.x - margin, 0);
        const int y0 = std::max(box.y - margin, 0);
        const int x1 = std::min(box.x + box.width + margin, columns);
        const int y1 = std::min(box.y + box.height + margin, rows);
        if (x0 >= x1 || y0 >= y1)
            continue;
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                const std::size_t pixel = std::size_t(y) * std::size_t(columns) + std::size_t(x);
                for (int c = 0; c < samples; ++c)
                    write(index(pixel, c), fill[std::size_t(c)]);
            }
        }
        ++painted;
    }
    if (painted > 0) {
        gdcm::DataElement changed = pixels;
        changed.SetByteValue(data.data(), gdcm::VL(static_cast<uint32_t>(data.size())));
        dataSet.Replace(changed);
    }
    return painted;
}

} // namespace BurnedInText
