// vexar-pixel-decoder FILE: decodes the first frame of a DICOM file's pixel data with GDCM's
// codecs and writes it to standard output, native and little endian, behind one line that
// describes it:
//   "<columns> <rows> <samples> <bits allocated> <bits stored> <pixel representation>
//    <planar configuration> <photometric interpretation>\n"
// Palette colour comes out as RGB. Exit status 0 on success, 1 when the pixels cannot be
// decoded. The anonymizer runs it in a process of its own because GDCM's decoders assert,
// ending the process, on some damaged streams: here that ends only this process.

#include <gdcmPixmap.h>
#include <gdcmPixmapReader.h>
#include <gdcmTrace.h>

#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    gdcm::Trace::WarningOff();
    gdcm::Trace::ErrorOff();
    // The largest image it decodes: what the caller reads after it is bounded too.
    constexpr unsigned long largest = 1ul << 30;
    try {
        gdcm::PixmapReader reader;
        reader.SetFileName(argv[1]);
        if (!reader.Read())
            return 1;
        const gdcm::Pixmap &image = reader.GetPixmap();
        const unsigned long length = image.GetBufferLength();
        if (length == 0 || length > largest)
            return 1;
        std::vector<char> buffer(length);
        if (!image.GetBuffer(buffer.data()))
            return 1;
        gdcm::PixelFormat format = image.GetPixelFormat();
        gdcm::PhotometricInterpretation::PIType photometric = image.GetPhotometricInterpretation();
        const unsigned long columns = image.GetColumns();
        const unsigned long rows = image.GetRows();
        const unsigned long pixels = columns * rows;
        bool planar = format.GetSamplesPerPixel() == 3 && image.GetPlanarConfiguration() == 1;
        if (photometric == gdcm::PhotometricInterpretation::PALETTE_COLOR) {
            const unsigned long indexBytes = pixels * format.GetPixelSize();
            std::vector<char> rgb(pixels * 3);
            if (indexBytes == 0 || indexBytes > buffer.size()
                || !image.GetLUT().Decode8(rgb.data(), rgb.size(), buffer.data(), indexBytes))
                return 1;
            buffer.swap(rgb);
            format = gdcm::PixelFormat(3, 8, 8, 7, 0);
            photometric = gdcm::PhotometricInterpretation::RGB;
            planar = false;
        }
        const unsigned long frameBytes = pixels * format.GetPixelSize();
        if (frameBytes == 0 || frameBytes > buffer.size())
            return 1;
        std::printf("%lu %lu %u %u %u %u %d %s\n", columns, rows,
                    unsigned(format.GetSamplesPerPixel()), unsigned(format.GetBitsAllocated()),
                    unsigned(format.GetBitsStored()), unsigned(format.GetPixelRepresentation()),
                    planar ? 1 : 0, gdcm::PhotometricInterpretation::GetPIString(photometric));
        return std::fwrite(buffer.data(), 1, frameBytes, stdout) == frameBytes ? 0 : 1;
    } catch (...) {
        return 1;
    }
}
