#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include "engine/files/keptbuffer.h"

#include <optional>

// The bytes of one input file, read once for the structural check, GDCM and the copy of its
// pixel data. Files of up to a few MB are read into a buffer each thread keeps from file to
// file; larger files are mapped, so that a walk over their headers touches only the pages that
// hold them. Where a file system cannot map, the file is read whole. The file stays open until
// close(), so that a range of it can be copied without opening it again.
//
// One object per file and thread; not shared.
class InputBytes
{
public:
    InputBytes() = default;
    ~InputBytes();
    InputBytes(const InputBytes &) = delete;
    InputBytes &operator=(const InputBytes &) = delete;

    // False, with `reason` set ("cannot read: permission denied"), when the file cannot be
    // opened or read. An empty file opens, with no data.
    bool open(const QString &path, QString *reason);

    const char *data() const { return m_data; }
    qint64 size() const { return m_size; }
    // Lets go of the file and its bytes.
    void close();

    // True for a large file whose pages are mapped rather than read.
    bool mapped() const { return m_mapped; }

    // The open file's descriptor, for copying a range of it; -1 when closed.
    int handle() const;

    // Files up to this size are read rather than mapped: unmapping costs a TLB flush across
    // the process's cores, more than GDCM's whole parse of a small file.
    static constexpr std::size_t readWholeBelow = std::size_t(4) << 20;

private:
    bool readWhole();

#ifdef Q_OS_UNIX
    // The system's own calls: QFile asks for the file's status twice more per file.
    int m_fd = -1;
    void *m_map = nullptr;
#else
    QFile m_file;
#endif
    const char *m_data = nullptr;
    qint64 m_size = 0;
    bool m_mapped = false;
    QByteArray m_whole; // where the file could not be mapped
    std::optional<KeptBuffer<readWholeBelow>> m_kept; // while a small file is read
};
