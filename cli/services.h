#pragma once

// The program's side of a run: what it needs of Qt, the console on the
// program's streams, and the job the options describe.

#include "cli/evaluator.h"
#include "run/session.h"

#include <iosfwd>
#include <memory>
#include <variant>

namespace corvanel::cli {

// What a run needs of Qt, through corvanel-eval-qt.so. When workers will
// decode page images or paint error images, the module and its plugins are
// loaded here, before any worker starts.
Services qtServices(bool imagesOnWorkers);

// Whether the job may need the page's ink: --ink-only, or a PAGE or ALTO
// file beside the ground truth or a participant's maps with ink pixels.
bool mayNeedInk(const Job& job, const std::vector<Participant>& participants);

// A console on two streams; with `progress`, a line on err that says which
// page is being evaluated, cleared before anything else is said.
class StreamConsole {
public:
    StreamConsole(std::ostream& out, std::ostream& err, bool progress);
    const Console& console() const { return console_; }

private:
    struct State;
    std::shared_ptr<State> state_;
    Console console_;
};

// The job the options describe: the workspace (its folders checked), the
// settings and the files to write; or the exit code, once err says why not.
std::variant<Job, int> jobFor(const Options& options, std::ostream& err);

int exitCode(RunStatus status);

// Says why the arguments are refused, on one line; kBadArguments.
int refuse(std::ostream& err, const std::string& why);

}  // namespace corvanel::cli
