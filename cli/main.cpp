#include "cli/evaluator.h"
#include "imaging/tiffsize.h"
#include "run/runner.h"

#include <exception>
#include <iostream>

#include <unistd.h>

int main(int argc, char** argv) {
    using namespace corvanel::cli;
    corvanel::keepLargeBlocksForReuse();
    corvanel::imaging::quietTiff();  // Qt is quieted when its module loads
    try {
        Options options;
        if (const auto stop = parse(argc, argv, options, std::cout, std::cerr)) return *stop;
        return run(options, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
    } catch (const std::bad_alloc&) {
        std::cerr << "Memory Allocation Problem!\n";
        return kOutOfMemory;
    } catch (const std::exception& e) {
        std::cerr << "corvanel-eval: " << e.what() << "\n";
        return kFailure;
    }
}
