#include "ScriptedDialogs.h"

#include <gtest/gtest.h>

#include <algorithm>

ScriptedDialogs::ScriptedDialogs() : previous_(InstallDialogs(this)) { }

ScriptedDialogs::~ScriptedDialogs()
{
    InstallDialogs(previous_);
}

std::vector<std::string> ScriptedDialogs::Texts(Kind kind) const
{
    std::vector<std::string> texts;
    for (const Shown& shown : log_)
        if (shown.kind == kind)
            texts.push_back(shown.text);
    return texts;
}

int ScriptedDialogs::Count(Kind kind) const
{
    return static_cast<int>(std::count_if(log_.begin(), log_.end(), [kind](const Shown& s) { return s.kind == kind; }));
}

void ScriptedDialogs::MessageBox(const std::string& text)
{
    log_.push_back({Kind::Message, ApplicationTitle(), text});
}

DialogAnswer ScriptedDialogs::QuestionBox(const std::string& text)
{
    log_.push_back({Kind::Question, ApplicationTitle(), text});
    if (answers_.empty()) {
        ADD_FAILURE() << "question without a scripted answer: " << text;
        return DialogAnswer::No;
    }
    DialogAnswer answer = answers_.front();
    answers_.pop_front();
    return answer;
}

void ScriptedDialogs::ErrorBox(const std::string& text)
{
    log_.push_back({Kind::Error, ApplicationTitle(), text});
}

void ScriptedDialogs::Beep()
{
    log_.push_back({Kind::Beep, {}, {}});
}

const char* ToString(ScriptedDialogs::Kind kind)
{
    switch (kind) {
    case ScriptedDialogs::Kind::Message: return "message";
    case ScriptedDialogs::Kind::Question: return "question";
    case ScriptedDialogs::Kind::Error: return "error";
    case ScriptedDialogs::Kind::Beep: return "beep";
    }
    return "?";
}
