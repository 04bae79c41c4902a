#pragma once

#include <QTextStream>

#include <cstdio>

class HeadlessRun;

// The job's progress and its failed and residue lines on standard error: a bar redrawn in
// place on a terminal, a line per whole percent otherwise.
class CliProgress
{
public:
    // `err`: where the lines go; `terminal`: they are shown on a terminal.
    CliProgress(HeadlessRun &run, FILE *err, bool terminal);

    // The bar, drawn again at the count the summary gives (the last reports may have been
    // throttled, or a stop came between them), ends its own line.
    void end();

private:
    void drawBar(float fraction);
    void show(float fraction);
    void printLine(const QString &line);

    HeadlessRun &m_run;
    const bool m_terminal;
    QTextStream m_err;
    int m_lastPercent = -1;
    bool m_barShown = false;
};

// The summary line, then where the copies and the reports went.
void printSummary(const HeadlessRun &run, QTextStream &out);
