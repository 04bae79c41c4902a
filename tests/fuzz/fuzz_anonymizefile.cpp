// libFuzzer target: the bytes of one input go through the steps a worker takes for one file
// (structural check and GDCM read; the default profile and, for odd-sized inputs, the standard
// clean-up; the residue check; the copy written through a temporary file, read again and
// renamed), then the copy is read back the same way. A crash, hang or leak
// anywhere on that path is a finding; so is a copy that was written but cannot be read again,
// or a temporary file left behind.
//
// The per-file steps take paths, so every input is written to a file first, in the folder
// named by VEXAR_FUZZ_DIR (tools/fuzz.sh makes one on a tmpfs), else in the system's temporary
// folder.
#include "engine/dicom/dicomcheck.h"
#include "engine/job/fileanonymizer.h"
#include "engine/cleaning/tagprofile.h"
#include "engine/cleaning/uidmap.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gdcmReader.h>
#include <gdcmTrace.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

struct Setup
{
    std::unique_ptr<QTemporaryDir> dir;
    QString input;
    QString output;
    FileAnonymizer::CompiledProfile profile;
    FileAnonymizer::Options options;
};

Setup *setup = nullptr;

[[noreturn]] void finding(const char *what)
{
    std::fprintf(stderr, "vexar fuzz finding: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
    gdcm::Trace::DebugOff();
    setup = new Setup;
    const QByteArray base = qgetenv("VEXAR_FUZZ_DIR");
    setup->dir = std::make_unique<QTemporaryDir>(
            (base.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(base))
            + QStringLiteral("/vexar-fuzz-XXXXXX"));
    if (!setup->dir->isValid())
        finding("cannot make the working folder");
    setup->input = setup->dir->filePath(QStringLiteral("in/input.dcm"));
    setup->output = setup->dir->filePath(QStringLiteral("in_depersonification/input.dcm"));
    QDir().mkpath(setup->dir->filePath(QStringLiteral("in")));
    setup->profile = FileAnonymizer::compileProfile(TagProfile::load());
    if (setup->profile.empty())
        finding("the default profile did not load");
    setup->options.cleaning.uids = std::make_shared<const UidMap>(QByteArray(32, 'k'));
    // The folder goes at exit; after a finding libFuzzer ends the process without it.
    std::atexit([] { delete setup; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        QFile in(setup->input);
        if (!in.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || in.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
            finding("cannot write the input file");
    }
    // Odd-sized inputs also go through the standard clean-up, so both cleanings are fuzzed.
    setup->options.cleaning.standard = size % 2 == 1;
    FileAnonymizer::Folders folders;
    const FileOutcome outcome = FileAnonymizer::anonymizeFile(
            setup->input, setup->output, setup->profile, setup->options, folders);
    // A skipped file (a file set's index) leaves nothing, like a failed one.
    const bool written = outcome.status == FileOutcome::Status::Written
            || outcome.status == FileOutcome::Status::WrittenWithResidue;
    const QString outFolder = QFileInfo(setup->output).absolutePath();
    const QStringList left = QDir(outFolder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    if (written) {
        if (left.size() != 1)
            finding("a temporary file was left beside the copy");
        gdcm::Reader again;
        if (!FileAnonymizer::read(setup->output, again)) {
            // Left in place for a look: the process ends here.
            const DicomCheck::Result check = DicomCheck::checkFile(setup->output);
            std::fprintf(stderr, "copy at %s: %s\n", qPrintable(setup->output),
                         check.ok ? "GDCM refused it" : qPrintable(check.reason));
            finding("the written copy cannot be read again");
        }
        // Where the pixel data was copied from the input, GDCM writing the whole file gives
        // the same outcome and the same bytes.
        const DicomCheck::Result check = DicomCheck::checkFile(setup->input);
        if (check.ok && check.verbatimPixelData >= 0) {
            FileAnonymizer::Options whole = setup->options;
            whole.verbatimPixelData = false;
            const QString wholeOutput = setup->output + QStringLiteral(".whole");
            FileAnonymizer::Folders wholeFolders;
            const FileOutcome wholeOutcome = FileAnonymizer::anonymizeFile(
                    setup->input, wholeOutput, setup->profile, whole, wholeFolders);
            if (wholeOutcome.status != outcome.status)
                finding("copied pixel data and the whole file end differently");
            QFile a(setup->output);
            QFile b(wholeOutput);
            if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly)
                || a.readAll() != b.readAll())
                finding("copied pixel data gives other bytes than the whole file");
            QFile::remove(wholeOutput);
        }
        QFile::remove(setup->output);
    } else if (!left.isEmpty()) {
        finding("a failed or skipped file left something in the output folder");
    }
    return 0;
}
