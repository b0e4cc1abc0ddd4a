#include "app/processing.hpp"

#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "app/job_texts.hpp"
#include "app/signal_chain.hpp"
#include "console/console_window.hpp"
#include "wave/wave_reader.hpp"
#include "wave/wave_writer.hpp"

namespace {

void printLine(ConsoleScreen& screen, const char* text) {
    printText(screen, text);
    endLine(screen);
}

void stageDone(ConsoleScreen& screen) {
    printLine(screen, "   Done");
    endLine(screen);
}

// Writes the output, asking for another name below as long as writing fails; false when the
// user gives up with an empty name.
bool writeWithRetry(ConsoleScreen& screen, JobAnswers& answers, const HeaderBytes& headerBytes,
                    const std::vector<std::int16_t>& outputSamples) {
    for (;;) {
        const WriteResult result = writeOutputWave(answers.outputPath, headerBytes, outputSamples);
        if (result.written) {
            return true;
        }
        showError(screen, kErrorTitle,
                  "The output file could not be written\\n" + result.reason + " ");
        std::string another = askOutputFile(screen);
        if (another.empty()) {
            printLine(screen, "   Output file not written");
            return false;
        }
        answers.outputPath = std::move(another);
    }
}

// Prints each step's line as it starts and its "Done" as it ends.
struct ScreenProgress {
    ConsoleScreen& screen;

    void starting(ChainStep step) {
        static constexpr const char* kLines[] = {
            "   Converting source signal to M-S format...",
            "   Filtering lateral modulation component...",
            "   Upsampling (four stages)...",
            "   Calculating interpolated output values...",
            "   Inverse filtering lateral modulation component...",
            "   Converting back to L-R stereo...",
        };
        printLine(screen, kLines[static_cast<int>(step)]);
    }
    void finished(ChainStep step) {
        if (step == ChainStep::Upsampling) {
            endLine(screen);  // the stage lines stand in for "Done"
        } else {
            stageDone(screen);
        }
    }
    void stageFinished(int stage) {
        printLine(screen, ("   Stage " + std::to_string(stage) + " done").c_str());
    }
};

ProcessingResult processStages(ConsoleScreen& screen, JobAnswers& answers,
                               const CoefficientSet& coefficients, int threadCount) {
    ProcessingResult result;

    printLine(screen, "   Reading input file...");
    LoadedInput input = loadSamples(answers.inputPath, answers.waveInfo);
    if (!input.loaded) {
        showError(screen, kErrorTitle,
                  "The input file can no longer be read\\n" + input.reason + " ");
        result.outcome = ProcessingOutcome::InputLost;
        return result;
    }
    stageDone(screen);

    ScreenProgress progress{screen};
    ChainResult chain = runSignalChain(std::move(input.inputSamples), answers.waveInfo,
                                       answers.discParameters, coefficients, threadCount, progress);
    result.outputGain = chain.outputGain;

    printLine(screen, "   Writing output file...");
    if (!writeWithRetry(screen, answers, input.headerBytes, chain.outputSamples)) {
        result.outcome = ProcessingOutcome::OutputAbandoned;
        return result;
    }
    printLine(screen, "   Done");
    return result;
}

}  // namespace

ProcessingResult runProcessing(ConsoleScreen& screen, JobAnswers& answers,
                               const CoefficientSet& coefficients, int threadCount) {
    try {
        return processStages(screen, answers, coefficients, threadCount);
    } catch (const std::bad_alloc&) {
        // Every buffer of the chain has been given back by now.
        endLine(screen);
        showError(screen, kErrorTitle, kMemoryText);
        ProcessingResult result;
        result.outcome = ProcessingOutcome::OutOfMemory;
        return result;
    }
}
