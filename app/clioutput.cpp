#include "app/clioutput.h"

#include "bridge/headlessrun.h"

#include <QDir>
#include <QFileInfo>

CliProgress::CliProgress(HeadlessRun &run, FILE *err, bool terminal)
    : m_run(run), m_terminal(terminal), m_err(err)
{
    QObject::connect(&run, &HeadlessRun::progress, [this](float fraction) { show(fraction); });
    // A copy refused for its residue fails with the reason "residue PATH PATH …".
    QObject::connect(&run, &HeadlessRun::failed,
                     [this](const QString &path, const QString &reason) {
                         printLine(QStringLiteral("failed: %1: %2").arg(path, reason));
                     });
    QObject::connect(&run, &HeadlessRun::residue,
                     [this](const QString &output, const QStringList &paths) {
                         printLine(QStringLiteral("residue: %1: %2")
                                           .arg(output, paths.join(QLatin1Char(' '))));
                     });
}

void CliProgress::end()
{
    m_err << Qt::flush;
    if (!m_barShown)
        return;
    const float fraction = m_run.files() > 0 ? float(m_run.done()) / float(m_run.files()) : 1.0f;
    drawBar(fraction);
    m_err << '\n' << Qt::flush;
}

void CliProgress::drawBar(float fraction)
{
    m_err << '\r' << HeadlessRun::progressBar(fraction, 40) << "  " << m_run.done() << '/'
          << m_run.files();
}

void CliProgress::show(float fraction)
{
    if (m_terminal) {
        drawBar(fraction);
        m_err << Qt::flush;
        m_barShown = true;
        return;
    }
    const int percent = static_cast<int>(fraction * 100.0f);
    if (percent != m_lastPercent) {
        m_err << percent << "%\n" << Qt::flush;
        m_lastPercent = percent;
    }
}

void CliProgress::printLine(const QString &line)
{
    if (m_barShown)
        m_err << "\r\033[K";
    m_err << line << '\n';
    // A terminal shows each line at once; a log or a pipe gets them with the next
    // percentage (or at the end): one write per file would cost the job more than the
    // line is worth.
    if (m_terminal)
        m_err << Qt::flush;
    m_barShown = false;
}

// The summary line, then where the copies and the reports went.
void printSummary(const HeadlessRun &run, QTextStream &out)
{
    const double seconds = static_cast<double>(run.elapsedMs()) / 1000.0;
    const double megabytes = static_cast<double>(run.bytesRead()) / 1e6;
    const JobReport::Counts counts = run.job().counts();
    if (run.wasStopped())
        out << "stopped after " << run.done() << " of " << run.files() << " files, ";
    else
        out << counts.files() << " files, ";
    out << counts.failed << " failed, " << counts.withResidue << " with residue, " << counts.skipped
        << " skipped, " << HeadlessRun::durationText(run.elapsedMs()) << ", "
        << QString::number(seconds > 0 ? megabytes / seconds : 0.0, 'f', 1) << " MB/s\n";
    for (const JobReport::Folder &folder : run.job().folders()) {
        if (folder.counts.files() == 0 && folder.notDone == 0)
            out << "no files found in " << QDir::toNativeSeparators(folder.folder.input) << '\n';
        else if (QFileInfo(folder.folder.output).isDir())
            out << "output: " << folder.folder.output
                << (folder.folder.existed ? " (added to an existing folder)" : "") << '\n';
        if (!folder.report.isEmpty())
            out << "report: " << folder.report << '\n';
        else if (!folder.reportError.isEmpty())
            out << "report: not written: " << folder.reportError << '\n';
    }
    out.flush();
}
