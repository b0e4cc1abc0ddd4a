#include "app/job.hpp"

#include <memory>

#include "app/dialogue.hpp"
#include "app/job_texts.hpp"
#include "app/processing.hpp"
#include "console/console_window.hpp"
#include "wave/wave_writer.hpp"

namespace {

void reportAttenuation(ConsoleScreen& screen, double outputGain) {
    printText(screen, "   NOTE - the output was attenuated by");
    printNumber(screen, attenuationDecibels(outputGain), NumberForm::Long);
    printText(screen, "decibel(s) to prevent clipping");
    endLine(screen);
}

void waitToQuit(ConsoleScreen& screen) {
    setPromptColour(screen);
    printText(screen, "   press any key to quit");
    endLine(screen);
    waitForKey(screen);
}

}  // namespace

int runJob(ConsoleDevice& device, const CoefficientSet& coefficients, int threadCount) {
    ConsoleScreen screen{&device};
    setUpWindow(screen);

    JobAnswers answers;
    ProcessingResult result;
    do {
        askInputFile(screen, answers);
        printFileReport(screen, answers.waveInfo);
        askDiscParameters(screen, answers.discParameters);
        blankLines(screen, 2);
        answers.outputPath = askOutputFile(screen);
        blankLines(screen, 2);
        setCursorVisible(screen, false);
        result = runProcessing(screen, answers, coefficients, threadCount);
    } while (result.outcome == ProcessingOutcome::InputLost);

    if (result.outcome != ProcessingOutcome::Finished) {
        blankLines(screen, 2);
        waitToQuit(screen);
        return 1;
    }

    MessageBeep(device, 0);
    blankLines(screen, 2);
    if (result.outputGain != 1.0) {
        reportAttenuation(screen, result.outputGain);
    }
    blankLines(screen, 2);
    setInputColour(screen);
    printText(screen, "   Job finished");
    endLine(screen);
    waitToQuit(screen);
    return 0;
}
