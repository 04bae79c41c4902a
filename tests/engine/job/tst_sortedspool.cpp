#include "engine/job/sortedspool.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

// The report's lines, gathered in any order and read back sorted: across many runs in the
// temporary file, with the pairs still in memory, and where no temporary file can be made.
class TestSortedSpool : public QObject
{
    Q_OBJECT

private slots:
    void readBackSorted_data();
    void readBackSorted();
};

using Pairs = QList<QPair<QString, QString>>;

void TestSortedSpool::readBackSorted_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<qint64>("runBytes");
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<int>("runs"); // at least this many written

    QTest::addRow("nothing") << 0 << qint64(1024) << true << 0;
    QTest::addRow("all in memory") << 50 << qint64(1) << false << 0;
    QTest::addRow("one run and the rest held") << 300 << qint64(40000) << true << 1;
    QTest::addRow("many runs, none held") << 2000 << qint64(1) << true << 2000;
    QTest::addRow("many runs of many pairs") << 5000 << qint64(8000) << true << 20;
}

void TestSortedSpool::readBackSorted()
{
    QFETCH(int, count);
    QFETCH(qint64, runBytes);
    QFETCH(bool, folderWritable);
    QFETCH(int, runs);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = folderWritable ? dir.path() : dir.filePath("missing");
    // Paths that share their start or differ only in their status, text beyond Latin-1 and
    // beyond the BMP, empty texts, lines longer than a read buffer.
    QRandomGenerator random(7);
    Pairs pairs;
    for (int i = 0; i < count; ++i) {
        QString path = QStringLiteral("PAT%1/ST %2/IM%3.dcm")
                               .arg(random.bounded(20))
                               .arg(random.bounded(3))
                               .arg(random.bounded(400));
        if (i % 7 == 0)
            path += QStringLiteral(" Müller 画像 \U0001F600");
        QString status = i % 3 ? QStringLiteral("written") : QStringLiteral("failed: why");
        if (i % 97 == 0)
            status = QString(20000 + i, QLatin1Char('x'));
        if (i % 101 == 0)
            path.clear();
        pairs.append({ path, status });
    }
    Pairs read;
    {
        SortedSpool spool(folder, QStringLiteral("report.txt"), runBytes);
        for (const auto &[path, status] : std::as_const(pairs))
            spool.add(path, status);
        QCOMPARE(spool.size(), qint64(count));
        QVERIFY2(spool.runs() >= runs, qPrintable(QString::number(spool.runs())));
        QString error;
        QVERIFY(spool.read([&read](const QString &a, const QString &b) { read.append({ a, b }); },
                           &error));
        QVERIFY(error.isEmpty());
    }
    std::sort(pairs.begin(), pairs.end());
    QCOMPARE(read, pairs);
    // Nothing is left beside the report.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

QTEST_GUILESS_MAIN(TestSortedSpool)
#include "tst_sortedspool.moc"
