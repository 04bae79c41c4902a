#include "app/cliarguments.h"
#include "engine/job/jobplan.h"
#include "engine/cleaning/standardoptions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>

// The headless command's command line read into what it asks for: every refusal with its
// word, and what a good line sets.
class TestCliArguments : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void parses_data();
    void parses();

private:
    QTemporaryDir m_dir;
};

void TestCliArguments::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("in")));
    QFile notes(m_dir.filePath(QStringLiteral("notes.txt")));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    QVERIFY(notes.write("not a key\n") > 0);
}

void TestCliArguments::parses_data()
{
    QTest::addColumn<QStringList>("arguments"); // "{dir}" is a folder that exists
    QTest::addColumn<int>("status"); // -1: the job goes on
    QTest::addColumn<QString>("said"); // found in what was written (out, then err)
    QTest::addColumn<QString>("request"); // what a job that goes on asks for
    const QString none;
    const auto row = [](const char *name, const QStringList &arguments, int status,
                        const QString &said, const QString &request) {
        QTest::addRow("%s", name) << arguments << status << said << request;
    };
    row("a folder", { "{dir}" }, -1, none, "jobs 0, ocr likely, options 0, shard 1/1, 1 folders");
    row("two folders and every switch",
        { "--standard", "--strict", "--blank-text", "--rename", "--ocr", "all", "-j", "3", "{dir}",
          "{dir}" },
        -1, none,
        "jobs 3, standard, strict, blank, rename, ocr all, options 0, shard 1/1, 2 folders");
    row("an option of the standard", { "--standard", "--option", "modified-dates", "{dir}" }, -1,
        none, "jobs 0, standard, ocr likely, options modified-dates, shard 1/1, 1 folders");
    row("a shard", { "--shard", "2/4", "{dir}" }, -1, none,
        "jobs 0, ocr likely, options 0, shard 2/4, 1 folders");
    row("more jobs than workers", { "--jobs", "100000", "{dir}" }, -1, "four per core",
        QStringLiteral("jobs %1, ocr likely, options 0, shard 1/1, 1 folders")
                .arg(JobPlan::maxWorkers()));
    row("help", { "--help" }, 0, "--shard <K/N>", none);
    row("version", { "--version" }, 0, "tst_cliarguments", none);
    row("no folder", {}, 2, "No folder given.", none);
    row("not a folder", { "{dir}/missing" }, 2, "Not a folder: ", none);
    row("an unknown switch", { "--frobnicate", "{dir}" }, 2, "Unknown option 'frobnicate'", none);
    row("no jobs", { "--jobs", "0", "{dir}" }, 2, "--jobs needs a whole number", none);
    row("jobs not a number", { "--jobs", "two", "{dir}" }, 2, "--jobs needs a whole number", none);
    row("an unknown OCR mode", { "--ocr", "some", "{dir}" }, 2, "--ocr takes likely, all or off",
        none);
    row("an option without the standard", { "--option", "modified-dates", "{dir}" }, 2,
        "add --standard", none);
    row("an unknown option", { "--standard", "--option", "keep-all", "{dir}" }, 2,
        "No option \"keep-all\"", none);
    row("options that exclude each other",
        { "--standard", "--option", "modified-dates", "--option", "retain-full-dates", "{dir}" }, 2,
        "The options ", none);
    row("shard 0", { "--shard", "0/4", "{dir}" }, 2, "--shard takes K/N", none);
    row("shard past the count", { "--shard", "5/4", "{dir}" }, 2, "--shard takes K/N", none);
    row("shard of none", { "--shard", "1/0", "{dir}" }, 2, "--shard takes K/N", none);
    row("shard without a count", { "--shard", "2", "{dir}" }, 2, "--shard takes K/N", none);
    row("shard not numbers", { "--shard", "a/b", "{dir}" }, 2, "--shard takes K/N", none);
    row("both UID keys", { "--uid-key", "a", "--new-uid-key", "b", "{dir}" }, 2,
        "exclude each other", none);
    row("a UID key that cannot be read", { "--uid-key", "{dir}/nokey", "{dir}" }, 2,
        "Cannot use the UID key in ", none);
    row("a UID key that is no key", { "--uid-key", "{dir}/../notes.txt", "{dir}" }, 2,
        "Cannot use the UID key in ", none);
    row("a link file inside the dropped folder", { "--link-file", "{dir}/links.csv", "{dir}" }, 2,
        "inside the dropped folder", none);
    row("a link file beside it", { "--link-file", "{dir}/../links.csv", "{dir}" }, 2, "beside",
        none);
    row("help names the options", { "--help" }, 0, "retain-patient-characteristics", none);
}

void TestCliArguments::parses()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, said);
    QFETCH(QString, request);
    const QString dir = m_dir.filePath(QStringLiteral("in"));
    QStringList line{ QStringLiteral("vexar-anonymizer-cli") };
    for (const QString &argument : arguments)
        line << QString(argument).replace(QStringLiteral("{dir}"), dir);
    QString outText;
    QString errText;
    QTextStream out(&outText);
    QTextStream err(&errText);
    CliArguments::Request parsed;
    QCOMPARE(CliArguments::parse(line, parsed, out, err), status);
    out.flush();
    err.flush();
    const QString written = outText + errText;
    if (said.isEmpty())
        QVERIFY2(written.isEmpty(), qPrintable(written));
    else
        QVERIFY2(written.contains(said), qPrintable(written));
    if (status == 2)
        QVERIFY2(errText.contains(QStringLiteral("Usage: ")), qPrintable(errText));
    if (status != -1)
        return;
    QStringList parts{ QStringLiteral("jobs %1").arg(parsed.jobs) };
    if (parsed.options.cleaning.standard)
        parts << QStringLiteral("standard");
    if (parsed.options.strict)
        parts << QStringLiteral("strict");
    if (parsed.options.blankText)
        parts << QStringLiteral("blank");
    if (parsed.options.rename)
        parts << QStringLiteral("rename");
    const char *const ocrModes[] = { "likely", "all", "off" };
    parts << QStringLiteral("ocr %1").arg(QLatin1String(ocrModes[int(parsed.options.ocr)]));
    const QStringList options = StandardOptions::names(parsed.options.cleaning.standardOptions);
    parts << QStringLiteral("options %1")
                     .arg(options.isEmpty() ? QStringLiteral("0") : options.join(QLatin1Char(',')));
    parts << QStringLiteral("shard %1/%2").arg(parsed.shard.index).arg(parsed.shard.count);
    parts << QStringLiteral("%1 folders").arg(parsed.folders.size());
    QCOMPARE(parts.join(QStringLiteral(", ")), request);
}

QTEST_GUILESS_MAIN(TestCliArguments)
#include "tst_cliarguments.moc"
