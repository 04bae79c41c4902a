// Development probe: runs the burned-in text assessment over files and folders and prints, per
// image, whether it is flagged, why, the time assess() took and the words OCR read.
//   vexar-ocrprobe likely|all|off [--repeat N] PATH...
// --repeat times N calls per file (the median is printed), for assessments too quick to time
// once.

#include "engine/cleaning/burnedintext.h"
#include "engine/dicom/dicomcheck.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QStringList>

#include <gdcmReader.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// The files named: each file, and every file below each folder, sorted.
QStringList filesOf(const QStringList &args)
{
    QStringList files;
    for (const QString &arg : args) {
        if (QFileInfo(arg).isDir()) {
            QDirIterator it(arg, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                files.append(it.next());
        } else {
            files.append(arg);
        }
    }
    files.sort();
    return files;
}

// One image judged `repeat` times; prints its line with the median time. False for a file that
// is no image GDCM reads.
bool probe(const QString &file, BurnedInText::OcrMode mode, int repeat, bool &flagged)
{
    // As in a job: GDCM sees only files that pass the structural check.
    if (!DicomCheck::checkFile(file).ok)
        return false;
    gdcm::Reader reader;
    reader.SetFileName(file.toStdString().c_str());
    if (!reader.Read())
        return false;
    const gdcm::DataSet &ds = reader.GetFile().GetDataSet();
    if (!ds.FindDataElement(gdcm::Tag(0x7fe0, 0x0010)))
        return false;
    std::vector<qint64> times;
    BurnedInText::Finding finding;
    for (int i = 0; i < repeat; ++i) {
        QElapsedTimer timer;
        timer.start();
        finding = BurnedInText::assess(file, ds, mode);
        times.push_back(timer.nsecsElapsed());
    }
    std::sort(times.begin(), times.end());
    flagged = finding.flagged;
    QStringList words;
    for (const std::string &w : finding.words)
        words.append(QString::fromStdString(w));
    std::printf("%s\t%s\t%.3f ms\t%s%s\t%s\t%s\n", qUtf8Printable(QFileInfo(file).fileName()),
                finding.flagged ? "FLAGGED" : "clean", double(times[times.size() / 2]) / 1e6,
                finding.ocrRan ? "ocr" : "-",
                finding.ocrProblem.isEmpty() ? "" : qUtf8Printable(" (" + finding.ocrProblem + ")"),
                qUtf8Printable(finding.why), qUtf8Printable(words.join(QLatin1Char(' '))));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: vexar-ocrprobe likely|all|off [--repeat N] PATH...\n");
        return 2;
    }
    const QString modeName = args.takeFirst();
    const BurnedInText::OcrMode mode = modeName == QLatin1String("all") ? BurnedInText::OcrMode::All
            : modeName == QLatin1String("off")                          ? BurnedInText::OcrMode::Off
                                               : BurnedInText::OcrMode::Likely;
    int repeat = 1;
    if (args.size() >= 2 && args.first() == QLatin1String("--repeat")) {
        args.takeFirst();
        repeat = std::max(1, args.takeFirst().toInt());
    }
    int images = 0;
    int flagged = 0;
    for (const QString &file : filesOf(args)) {
        bool isFlagged = false;
        if (!probe(file, mode, repeat, isFlagged))
            continue;
        ++images;
        flagged += isFlagged ? 1 : 0;
    }
    std::printf("%d images, %d flagged\n", images, flagged);
    return 0;
}
