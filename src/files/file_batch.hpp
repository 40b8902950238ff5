#pragma once

// A run over a list of files. Each is compressed as a one-file run would be
// (sample_file.hpp), about one per processor at a time, each with its own buffer and
// engine state. The transcript is the same whatever the timing: the file at the front
// of the list prints to the console as it runs, dots and all; the files behind it
// print into memory, and what they printed is released in order when their turn
// comes.
//
//   names ─► planBatch ─► [1/n] a.wav   ─► worker ─► console (live)
//                         [2/n] b.wav   ─► worker ─► held ─┐ released when
//                         [3/n] Ca.wav  (an earlier output of a.wav: left)  1 is done

#include <cstddef>
#include <string>
#include <vector>

#include "console/command_line.hpp"
#include "console/console.hpp"
#include "files/sample_file.hpp"
#include "settings.hpp"

namespace twoband {

// Why a file of the plan is not compressed: its message on standard output, and the
// name and reason on standard error.
struct PlannedRefusal {
    std::string message;
    std::string subject;
    std::string reason;
};

struct BatchFile {
    std::string name;
    OutputPlace output;
    std::string outputOf;  // the input this file is an earlier output of, if it is one
    // The file of the plan that stands at this one's output name, as an input of its
    // own: it is read whole before this output replaces it.
    std::optional<std::size_t> after;
    std::optional<PlannedRefusal> refusal;
};

// Where the output of the input `name` goes: beside it under a C name, or where the
// options say (standard output for standard input, unless --output names a file). In
// an output folder it takes `subfolder` ("Artist/Album/": where -r found it under the
// folder named), whose folders are made as needed.
OutputPlace outputFor(const std::string& name, const Options& options, const std::string& subfolder = {});

// The extensions a folder's audio files (WAV and FLAC) have, in any case.
inline constexpr const char* kWavExtensions[] = {".wav", ".wave", ".bwf", ".rf64", ".w64", ".flac"};

// The files of a run in the order named, each name once, and where each one's output
// goes (beside it under a C name, or where the options say):
// - with --recursive a folder stands for its WAV files and those of its folders, in
//   name order, hidden ones (and temporary files) left out, the output folder too;
//   an output folder mirrors the tree under the folder named;
// - names that reach the same file and put its output at the same place are one;
// - an input whose mark (output_mark.hpp) names a sibling input that exists is an
//   earlier output, left as it is, whether or not the sibling is named too; so a
//   rerun makes no CC file (outputs beside their inputs or in an output folder only);
// - an output that would be its own input (standard output included, however
//   redirected), or land where an earlier input's output does, is refused for that
//   file; so is a pattern in `unmatched`, which named none;
// - an input standing at another one's output name is read before that output
//   replaces it.
std::vector<BatchFile> planBatch(const std::vector<std::string>& names, const Options& options,
                                 const std::vector<std::string>& unmatched = {});

struct BatchOutcome {
    std::size_t written = 0;
    std::size_t failed = 0;
    std::size_t left = 0;  // outputs of other files, left as they are
};

// Compresses `files`, `workers` at a time, each after the file it must wait for. With
// `numbered`, each file's block starts with a line "[i/n] name" and a summary line
// ends the run; without, the transcript is a one-file run's.
BatchOutcome runBatch(const std::vector<BatchFile>& files, const Settings& settings, const Options& options,
                      Console& console, unsigned workers, bool numbered);

// How many files to have in flight at once: one more than the processors the system
// gives the process (its affinity mask where there is one).
unsigned batchWorkers();

}  // namespace twoband
