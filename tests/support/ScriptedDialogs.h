#pragma once
// A dialog service for tests: installs itself for its lifetime, records
// every box and beep in order (with the caption each box had), and answers
// questions from a script. No box is ever drawn.

#include <deque>
#include <string>
#include <vector>

#include "platform/Dialogs.h"

class ScriptedDialogs final : public DialogService {
public:
    enum class Kind { Message, Question, Error, Beep };

    struct Shown {
        Kind kind;
        std::string caption; // the application title when it was shown; empty for a beep
        std::string text;    // empty for a beep
    };

    ScriptedDialogs();
    ~ScriptedDialogs() override;
    ScriptedDialogs(const ScriptedDialogs&) = delete;
    ScriptedDialogs& operator=(const ScriptedDialogs&) = delete;

    // Queues the answer to the next question. A question with nothing queued
    // fails the running test and is answered No.
    void Answer(DialogAnswer answer) { answers_.push_back(answer); }

    // Everything shown, in order.
    const std::vector<Shown>& Log() const { return log_; }
    // The texts of the boxes of one kind, in order.
    std::vector<std::string> Texts(Kind kind) const;
    int Count(Kind kind) const;
    int Beeps() const { return Count(Kind::Beep); }
    // Answers queued but never asked for.
    size_t UnusedAnswers() const { return answers_.size(); }
    void Clear() { log_.clear(); }

    void MessageBox(const std::string& text) override;
    DialogAnswer QuestionBox(const std::string& text) override;
    void ErrorBox(const std::string& text) override;
    void Beep() override;

private:
    std::vector<Shown> log_;
    std::deque<DialogAnswer> answers_;
    DialogService* previous_;
};

const char* ToString(ScriptedDialogs::Kind kind);
