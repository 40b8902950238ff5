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
//                         [3/n] Ca.wav  (the output of a.wav: left as it is)  1 is done

#include <cstddef>
#include <string>
#include <vector>

#include "console.hpp"
#include "settings.hpp"

namespace twoband {

struct BatchFile {
    std::string name;
    std::string outputOf;  // the named input this file is the output of, if it is one
};

// The files of a run in the order named: a file named twice (by the same name or
// another) once; a file that is the output of another file named (Csong.wav beside
// song.wav) marked, to be left as it is. So no run reads a file that another file of
// the same run is replacing.
std::vector<BatchFile> planBatch(const std::vector<std::string>& names);

struct BatchOutcome {
    std::size_t written = 0;
    std::size_t failed = 0;
    std::size_t left = 0;  // outputs of other files, left as they are
};

// Compresses `files`, `workers` at a time. With `numbered`, each file's block starts
// with a line "[i/n] name" and a summary line ends the run; without, the transcript
// is a one-file run's.
BatchOutcome runBatch(const std::vector<BatchFile>& files, const Settings& settings, Console& console,
                      unsigned workers, bool numbered);

// How many files to have in flight at once: one more than the processors the system
// gives the process (its affinity mask where there is one).
unsigned batchWorkers();

}  // namespace twoband
