#include "console/scripted_backend.hpp"

KeyEvent scriptPeekKey(ScriptedConsole& script) {
    if (script.keys.empty()) {
        throw ScriptExhausted();
    }
    return script.keys.front();
}

void scriptDropKey(ScriptedConsole& script) {
    if (!script.keys.empty()) {
        script.keys.pop_front();
    }
}

// The box is modal: every key up to and including the one that dismisses it goes to the box.
void scriptMessageBox(ScriptedConsole& script, const std::string& title, const std::string& text) {
    script.events.push_back("box " + title + "|" + text);
    for (;;) {
        const KeyEvent key = scriptPeekKey(script);
        scriptDropKey(script);
        if (dismissesMessageBox(key)) {
            return;
        }
    }
}
