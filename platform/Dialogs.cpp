#include "platform/Dialogs.h"

#include <cstdio>

namespace {

class StderrDialogs final : public DialogService {
public:
    void MessageBox(const std::string& text) override { Print("", text); }
    DialogAnswer QuestionBox(const std::string& text) override
    {
        Print("", text + " [answered No]");
        return DialogAnswer::No;
    }
    void ErrorBox(const std::string& text) override { Print("error: ", text); }
    void Beep() override { std::fputc('\a', stderr); }

private:
    static void Print(const char* prefix, const std::string& text)
    {
        std::fprintf(stderr, "%s: %s%s\n", ApplicationTitle().c_str(), prefix, text.c_str());
    }
};

StderrDialogs plainDialogs;
DialogService* installed = nullptr;

std::string& Title()
{
    static std::string title;
    return title;
}

} // namespace

DialogService& Dialogs()
{
    return installed ? *installed : plainDialogs;
}

DialogService* InstallDialogs(DialogService* service)
{
    DialogService* previous = installed;
    installed = service;
    return previous;
}

const std::string& ApplicationTitle()
{
    return Title();
}

void SetApplicationTitle(const std::string& title)
{
    Title() = title;
}
