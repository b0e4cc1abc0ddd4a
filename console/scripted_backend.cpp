#include "console/scripted_backend.hpp"

void ScriptedConsole::present(const ScreenBuffer&) {}

KeyEvent ScriptedConsole::peekKey(const ScreenBuffer&) {
    if (keys.empty()) {
        throw ScriptExhausted();
    }
    return keys.front();
}

void ScriptedConsole::dropKey() {
    if (!keys.empty()) {
        keys.pop_front();
    }
}

void ScriptedConsole::messageBox(const ScreenBuffer& screen, const std::string& title,
                                 const std::string& text) {
    events.push_back("box " + title + "|" + text);
    for (;;) {
        const KeyEvent key = peekKey(screen);
        dropKey();
        if (dismissesMessageBox(key)) {
            return;
        }
    }
}

void ScriptedConsole::beep() {
    events.push_back("beep");
}

void ScriptedConsole::pause(unsigned milliseconds) {
    events.push_back("sleep " + std::to_string(milliseconds));
}

void ScriptedConsole::setTitle(const std::string& title) {
    windowTitle = title;
    events.push_back("title " + title);
}

void scriptText(ScriptedConsole& script, const std::string& text) {
    for (const char c : text) {
        script.keys.push_back(KeyEvent{KeyKind::Character, static_cast<unsigned char>(c)});
    }
}
