// Writes a small binary file (a header, points in a compressed section, a
// text trailer), then reads it back. Run `qmk bin dump` on the file it
// names to see the bytes.
#include <cstdio>
#include <string>
#include <vector>

#include "qmkutils/fileio/fileio.h"

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "points.bin";
  std::vector<double> points;
  for (int i = 0; i < 300; ++i) points.push_back(i * 0.5);

  du::FileWriterPtr writer = du::FileWriter::Construct();
  if (!writer->Open(path, 1)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  writer->Write(static_cast<int>(points.size()));
  writer->StartCompressedSection(9);
  writer->Write(points.data(), static_cast<unsigned>(points.size()));
  writer->EndCompressedSection();
  du::LineWriter(writer).WriteLine("made by the binary_file example");
  if (!writer->Close()) {
    std::fprintf(stderr, "writing %s failed\n", path.c_str());
    return 1;
  }

  du::FileReader reader;
  int count = 0;
  if (!reader.Open(path, 1) || !reader.Read(count) || !reader.StartCompressedSection()) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<double> read(static_cast<std::size_t>(count));
  const unsigned got = reader.Read(read.data(), static_cast<unsigned>(count));
  reader.EndCompressedSection(true);
  du::LineReader lines(&reader, 0);
  const char* trailer = lines.ReadLine() ? lines.GetBuffer() : "(none)";
  std::printf("%s: %u of %d points (last %g), %u bytes on disk, trailer \"%s\"\n", path.c_str(),
              got, count, got != 0 ? read[got - 1] : 0.0, reader.GetFilePos(), trailer);
  return read == points ? 0 : 1;
}
