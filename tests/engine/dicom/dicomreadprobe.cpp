// Reads one file with GDCM the way the anonymizer does (read, then write the same file with the
// meta check off), in its own process, so a test can see what GDCM would do with an input
// without risking the test itself. Exit status:
//   0  read and write succeeded
//   1  GDCM refused the file cleanly (Read returned false)
//   2  the read succeeded but the write failed
//   3  GDCM asked for one allocation above the cap: it would allocate a length the file does
//      not hold (the request is refused, so the probe itself stays small)
//   killed by a signal: GDCM aborted (an assertion) or crashed
#include <gdcmReader.h>
#include <gdcmWriter.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>

namespace {
constexpr std::size_t allocationCap = std::size_t(256) << 20;
std::atomic<bool> hugeRequest{ false };
} // namespace

void *operator new(std::size_t size)
{
    if (size > allocationCap) {
        hugeRequest = true;
        throw std::bad_alloc();
    }
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void *p) noexcept
{
    std::free(p);
}

void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: dicomreadprobe FILE\n");
        return 64;
    }
    int status = 0;
    try {
        gdcm::Reader reader;
        reader.SetFileName(argv[1]);
        if (!reader.Read()) {
            status = 1;
        } else {
            std::ofstream sink("/dev/null", std::ios::binary);
            gdcm::Writer writer;
            writer.CheckFileMetaInformationOff();
            writer.SetStream(sink);
            writer.SetFile(reader.GetFile());
            status = writer.Write() ? 0 : 2;
        }
    } catch (const std::bad_alloc &) {
        status = 3;
    }
    return hugeRequest ? 3 : status;
}
