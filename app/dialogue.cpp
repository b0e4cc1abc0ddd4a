#include "app/dialogue.hpp"

#include <string>

#include "app/job_texts.hpp"
#include "console/console_window.hpp"
#include "dsp/groove_geometry.hpp"
#include "text/number_parse.hpp"
#include "wave/wave_reader.hpp"

namespace {

constexpr int kFilePromptColumn = 22;
constexpr int kDiscAnswerColumn = 50;
constexpr int kSpeedClearColumn = 46;
constexpr int kOutputAnswerColumn = 18;

// Asks one question whose answer is typed at `column` of `row`.
std::string askAt(ConsoleScreen& screen, int row, const char* prompt, int column) {
    printText(screen, prompt);
    endLine(screen);
    locate(screen, row, column);
    setInputColour(screen);
    std::string answer = readLine(screen);
    setPromptColour(screen);
    return answer;
}

// Blanks a refused answer typed at `answerColumn` of `row`, from `fromColumn` on; an answer
// long enough to wrap is blanked on every row it reached.
void clearAnswer(ConsoleScreen& screen, int row, int fromColumn, int answerColumn,
                 std::size_t answerLength) {
    const std::size_t reach = static_cast<std::size_t>(answerColumn - fromColumn) + answerLength;
    locate(screen, row, fromColumn);
    printText(screen, std::string(reach < 6 ? 6 : reach, ' '));
    endLine(screen);
}

void printFigure(ConsoleScreen& screen, const char* label, long double value, NumberForm form,
                 const char* unit) {
    printText(screen, label);
    printNumber(screen, value, form);
    printText(screen, unit);
    endLine(screen);
}

double askNumber(ConsoleScreen& screen, int row, const char* prompt) {
    return static_cast<double>(parseNumber(askAt(screen, row, prompt, kDiscAnswerColumn)));
}

}  // namespace

void blankLines(ConsoleScreen& screen, int count) {
    for (int line = 0; line < count; ++line) {
        endLine(screen);
    }
}

void showError(ConsoleScreen& screen, const char* title, const std::string& text) {
    MessageBeep(*screen.device, 0);
    ConsoleMessageBox(*screen.device, text, title);
}

void setInputColour(ConsoleScreen& screen) {
    setColours(screen, kInputForeground, kScreenBackground);
}

void setPromptColour(ConsoleScreen& screen) {
    setColours(screen, kPromptForeground, kScreenBackground);
}

void setUpWindow(ConsoleScreen& screen) {
    ConsoleDevice& device = *screen.device;
    ConsoleTitle(device, "Cartrivex");
    setInputColour(screen);
    clearScreen(screen);
    Console80x(device, kScreenRows);
}

void askInputFile(ConsoleScreen& screen, JobAnswers& answers) {
    for (;;) {
        clearScreen(screen);
        setInputColour(screen);
        setCursorVisible(screen, false);
        endLine(screen);
        printText(screen, "   Cartrivex v1");
        endLine(screen);
        printText(screen,
                  "   Lateral tracking error of a phonograph pickup, heard on your records");
        endLine(screen);
        printText(screen, "   Try it on sample.wav, which comes with the program");
        endLine(screen);
        blankLines(screen, 3);

        setPromptColour(screen);
        const int fileRow = cursorRow(screen);
        printText(screen, "   File to process?  ");
        endLine(screen);
        locate(screen, fileRow, kFilePromptColumn);
        setInputColour(screen);
        answers.inputPath = readLine(screen);

        const HeaderCheck header = checkInputFile(answers.inputPath)
                                       ? readWaveHeader(answers.inputPath)
                                       : HeaderCheck{WaveError::FileNotFound, WaveInfo{}};
        if (!header.accepted()) {
            // A file that cannot be opened (or is gone between the two looks) is refused after
            // a short pause.
            if (header.error == WaveError::FileNotFound) {
                Sleep(*screen.device, 100);
            }
            const BoxText box = waveErrorBox(header.error);
            showError(screen, box.title, box.text);
            continue;
        }
        answers.waveInfo = header.info;
        return;
    }
}

void printFileReport(ConsoleScreen& screen, const WaveInfo& info) {
    blankLines(screen, 2);
    setPromptColour(screen);
    printText(screen, "                     FILE DATA");
    endLine(screen);
    endLine(screen);
    printFigure(screen, "                     Channels    ", info.channelCount, NumberForm::Short,
                "");
    printFigure(screen, "                     Sample rate ", info.sampleRate, NumberForm::Long,
                "Hz");
    printFigure(screen, "                     Resolution  ", info.bitsPerSample, NumberForm::Short,
                "bits");
    printFigure(screen, "                     Length      ", info.frameCount, NumberForm::Long,
                "samples");
    printFigure(screen, "                     Duration    ", roundToDecimals(info.duration, 2),
                NumberForm::Long, "second(s)");
    blankLines(screen, 3);
}

void askDiscParameters(ConsoleScreen& screen, DiscParameters& parameters) {
    printText(screen, "   Disc parameters:");
    endLine(screen);
    endLine(screen);
    const int firstRow = cursorRow(screen);

    for (;;) {
        locate(screen, firstRow, 0);
        const std::string speed =
            askAt(screen, firstRow, "      Rotational speed [33/45]?", kDiscAnswerColumn);
        if (speed == "33" || speed == "45") {
            parameters.revolutionsPerMinute = revolutionsPerMinuteFor(speed == "33" ? 33.0 : 45.0);
            break;
        }
        showError(screen, kErrorTitle, kSpeedText);
        clearAnswer(screen, firstRow, kSpeedClearColumn, kDiscAnswerColumn, speed.size());
    }

    for (bool refused = false;; refused = true) {
        if (refused) {
            locate(screen, firstRow + 1, 1);
        }
        const std::string radius =
            askAt(screen, firstRow + 1, "      Groove radius (mm)?", kDiscAnswerColumn);
        parameters.grooveRadius = static_cast<double>(parseNumber(radius));
        if (deriveGrooveGeometry(parameters, 44100).grooveVelocity != 0.0) {
            break;
        }
        showError(screen, kErrorTitle, kRadiusText);
        clearAnswer(screen, firstRow + 1, kDiscAnswerColumn, kDiscAnswerColumn, radius.size());
    }
    parameters.fullScaleLateralAmplitude =
        askNumber(screen, firstRow + 2, "      Full scale lateral groove amplitude (mm)? ");
    parameters.trackingErrorDegrees =
        askNumber(screen, firstRow + 3, "      Lateral tracking error (deg)?");
}

std::string askOutputFile(ConsoleScreen& screen) {
    const int outputRow = cursorRow(screen);
    return askAt(screen, outputRow, "   Output file?", kOutputAnswerColumn);
}
