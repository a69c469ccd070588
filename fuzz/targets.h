// Entry points of the fuzz targets, one per reader of untrusted input. Each
// takes the bytes of one input, feeds them to its reader (through a file of
// the current directory where the reader reads files) and returns 0. An input
// the reader refuses ends in an error stop or a run-time error, which the
// entry point catches: that is the reader's orderly answer. Anything else (an
// other exception, a crash, a sanitizer report, a hang) is a finding.
//
// The same entry points serve the libFuzzer executables (fuzz/, built with
// clang by scripts/fuzz.sh) and the regular test suite, which replays the
// committed corpora (fuzz/corpus/<target>/) through them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zeb::fuzz {

using Entry = int (*)(const std::uint8_t* data, std::size_t size);

struct Target {
  std::string name;  // also the corpus directory
  Entry run;
};

// params      a parameter file: the driver's pre-scan, the whole set-up (field
//             loop, slot report, MAT fits, source lists and their logs) and the
//             spatial hashes, with small exposure, MAT, list and PSF files at hand
//             under the names e.fits, m.mat, s.txt, b.txt, a.txt, l.fits and p.fits
// list        list-directed reading of one record (the first byte chooses the
//             sequence of reads) and the parameter-line tokenizer
// fits        a FITS file through the header parser, the whole-image readers,
//             the header query, the three exposure raster readers and the strip
//             writer
// psf         a PSF library through its header reader and the local-PSF
//             interpolation, and a camera PSF file through the four camera readers
// matlist     the MAT reader and the star-list readers (the first byte chooses
//             the reader, the rest is the file)
const std::vector<Target>& targets();

// Creates the small files the params target names, in the current directory.
void write_support_files();

}  // namespace zeb::fuzz
