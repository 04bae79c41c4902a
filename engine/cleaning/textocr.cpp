#include "engine/cleaning/textocr.h"

#include <allheaders.h>
#include <tesseract/baseapi.h>
#include <tesseract/ocrclass.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cmath>
#include <memory>

// From libgomp, the OpenMP runtime Debian's Tesseract is built with (declared here rather than
// through omp.h, which clang's own headers lack).
extern "C" void omp_set_max_active_levels(int levels);

namespace TextOcr {

using BurnedInText::Box;
using BurnedInText::Finding;
using GreyFrame::Grey;

namespace {

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

// The scale at which Tesseract reads a frame of this width best.
double ocrScale(int width)
{
    double scale = 1;
    if (width < ocrMinWidth)
        scale = std::min(ocrMinWidth / width, ocrMaxUpscale);
    else if (width > ocrMaxWidth)
        scale = ocrMaxWidth / width;
    return scale;
}

// The frame as a Leptonica image at `scale`, dark text on a light page; null, with the
// problem in `finding`, where there is no memory for it.
Pix *ocrImage(const Grey &grey, double scale, Finding &finding)
{
    // Tesseract reads dark text on a light page best: a mostly dark image is turned round.
    long sum = 0;
    for (uint8_t v : grey.pixels)
        sum += v;
    const bool invert = sum < long(grey.pixels.size()) * 128;

    Pix *pix = pixCreate(grey.width, grey.height, 8);
    if (!pix) {
        finding.ocrProblem = QStringLiteral("out of memory for OCR");
        return nullptr;
    }
    for (int y = 0; y < grey.height; ++y) {
        l_uint32 *line = pixGetData(pix) + y * pixGetWpl(pix);
        const uint8_t *row = grey.pixels.data() + std::size_t(y) * std::size_t(grey.width);
        for (int x = 0; x < grey.width; ++x)
            SET_DATA_BYTE(line, x, invert ? 255 - row[x] : row[x]);
    }
    Pix *scaled = scale == 1 ? pixClone(pix) : pixScale(pix, float(scale), float(scale));
    pixDestroy(&pix);
    if (!scaled)
        finding.ocrProblem = QStringLiteral("out of memory for OCR");
    return scaled;
}

// One word as OCR read it, in the scaled image's coordinates.
struct Word
{
    QString text;
    int left = 0, top = 0, right = 0, bottom = 0;
    int run = 0; // sure letters and digits in a row so far
    int bestRun = 0;
    float confidence = 0;
};

// The words of the last recognition, with their surest runs of letters and digits.
std::vector<Word> readWords(tesseract::TessBaseAPI &api)
{
    std::unique_ptr<tesseract::ResultIterator> it(api.GetIterator());
    // Walks symbol by symbol, so that a word counts by its surest run of letters and
    // digits: a name written "DOE^JOHN" reads as "DOE*JOHN" with the caret unsure and
    // the word's own confidence low, while D, O, E, J, O, H, N are sure.
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
    return read;
}

// Keeps the words OCR is sure of, with their boxes brought back to the frame's coordinates.
void keepSureWords(const std::vector<Word> &read, const Grey &grey, double scale, Finding &finding)
{
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
}

} // namespace

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

// Runs OCR on the frame, scaled to what Tesseract reads best, and keeps the words it is sure
// of, with their boxes in the frame's coordinates.
bool recognise(const Grey &grey, Finding &finding)
{
    tesseract::TessBaseAPI *api = threadOcr();
    if (!api) {
        finding.ocrProblem = QStringLiteral("OCR is not available");
        return false;
    }
    const double scale = ocrScale(grey.width);
    Pix *scaled = ocrImage(grey, scale, finding);
    if (!scaled)
        return false;
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
        keepSureWords(readWords(*api), grey, scale, finding);
    } else {
        finding.ocrProblem = QStringLiteral("OCR failed");
    }
    api->Clear();
    pixDestroy(&scaled);
    return finding.ocrRan;
}

} // namespace TextOcr
