// vexar-bench-plainloop [--jobs N] [--keep-buffers] FOLDER...
//
// The plain loop: for every file under each FOLDER, the anonymizer's GDCM steps and nothing
// else: read with gdcm::Reader, replace the default profile's elements that the data set
// holds at its top level, write with gdcm::Writer (file meta check off) to the same relative
// path under "<folder up to its first dot>_depersonification" beside the folder. The files
// are listed and sorted first, then cut into one contiguous block per thread. No temporary
// file, no progress, no Qt: `make bench` times it beside the headless command, whose extra
// cost over this loop is what the comparison shows.
//
// Same interface as the headless command, so either can stand in for the other: exit status
// 0 when every file was written, 1 when any failed, 2 on a usage error.

#include <gdcmDataElement.h>
#include <gdcmDataSet.h>
#include <gdcmReader.h>
#include <gdcmTag.h>
#include <gdcmWriter.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct ProfileEntry
{
    std::uint16_t group;
    std::uint16_t element;
    const char *text;
};

const ProfileEntry kProfile[] = {
#include "defaultprofile.inc"
};

struct Job
{
    std::vector<fs::path> inputs;
    std::vector<fs::path> outputs;
};

bool isDicomDir(const fs::path &path)
{
    std::string name = path.filename().string();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return name == "DICOMDIR";
}

// Adds every regular file under folder to the job; false when folder is not a directory.
bool listFolder(fs::path folder, Job &job)
{
    std::error_code ec;
    folder = fs::absolute(folder, ec).lexically_normal();
    if (!folder.has_filename())
        folder = folder.parent_path();
    if (!fs::is_directory(folder, ec) || folder == folder.root_path())
        return false;
    std::string name = folder.filename().string();
    const fs::path outRoot
            = folder.parent_path() / (name.substr(0, name.find('.')) + "_depersonification");

    std::vector<fs::path> found;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file(ec) && !isDicomDir(it->path()))
            found.push_back(it->path());
    }
    if (ec) {
        std::fprintf(stderr, "cannot list %s: %s\n", folder.c_str(), ec.message().c_str());
        return false;
    }
    std::sort(found.begin(), found.end());
    for (const fs::path &input : found) {
        job.outputs.push_back(outRoot / input.lexically_relative(folder));
        job.inputs.push_back(input);
    }
    return true;
}

bool anonymizeFile(const fs::path &input, const fs::path &output)
{
    gdcm::Reader reader;
    reader.SetFileName(input.c_str());
    if (!reader.Read()) {
        std::fprintf(stderr, "error read file %s\n", input.c_str());
        return false;
    }
    gdcm::File &file = reader.GetFile();
    gdcm::DataSet &dataSet = file.GetDataSet();
    for (const ProfileEntry &entry : kProfile) {
        const gdcm::Tag tag(entry.group, entry.element);
        if (!dataSet.FindDataElement(tag))
            continue;
        gdcm::DataElement element = dataSet.GetDataElement(tag);
        element.SetByteValue(entry.text, static_cast<std::uint32_t>(std::strlen(entry.text)));
        dataSet.Replace(element);
    }

    std::error_code ec;
    fs::create_directories(output.parent_path(), ec);
    gdcm::Writer writer;
    writer.CheckFileMetaInformationOff();
    writer.SetFileName(output.c_str());
    writer.SetFile(file);
    if (!writer.Write()) {
        std::fprintf(stderr, "error write file %s %s\n", input.c_str(), output.c_str());
        return false;
    }
    return true;
}

int usage(const char *program)
{
    std::fprintf(stderr,
                 "usage: %s [--jobs N] [--keep-buffers] FOLDER...\n"
                 "  --jobs N         threads (default: one per core)\n"
                 "  --keep-buffers   keep freed large buffers in the process between files\n",
                 program);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
    std::vector<fs::path> folders;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--jobs" && i + 1 < argc) {
            jobs = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            if (jobs == 0)
                return usage(argv[0]);
        } else if (arg == "--keep-buffers") {
            // glibc otherwise maps each large buffer afresh and unmaps it on free, so every
            // file pays for faulting in new zeroed pages. The mapping threshold cannot be
            // raised above 32 MB, so mapping is switched off altogether; the worker threads
            // share the main heap (a thread's own heaps are unmapped once empty), and that
            // heap is not trimmed, which keeps the pages of one file's buffers for the next.
            mallopt(M_MMAP_MAX, 0);
            mallopt(M_ARENA_MAX, 1);
            mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
        } else if (arg == "--help" || arg == "-h" || (!arg.empty() && arg[0] == '-')) {
            return usage(argv[0]);
        } else {
            folders.emplace_back(arg);
        }
    }
    if (folders.empty())
        return usage(argv[0]);

    const auto started = std::chrono::steady_clock::now();
    Job job;
    for (const fs::path &folder : folders) {
        if (!listFolder(folder, job)) {
            std::fprintf(stderr, "not a folder: %s\n", folder.c_str());
            return 2;
        }
    }

    const std::size_t total = job.inputs.size();
    const unsigned threads
            = static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(jobs, total)));
    std::atomic<std::size_t> failed{ 0 };
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; ++t) {
        const std::size_t first = total * t / threads;
        const std::size_t last = total * (t + 1) / threads;
        workers.emplace_back([&job, &failed, first, last] {
            for (std::size_t i = first; i < last; ++i) {
                if (!anonymizeFile(job.inputs[i], job.outputs[i]))
                    ++failed;
            }
        });
    }
    for (std::thread &worker : workers)
        worker.join();

    const double seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(stderr, "%zu files, %zu failed, %.2f s, %u threads\n", total, failed.load(),
                 seconds, threads);
    return failed.load() == 0 ? 0 : 1;
}
