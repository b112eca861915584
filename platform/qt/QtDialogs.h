#pragma once
// The dialog service drawn with Qt message boxes.

#include "platform/Dialogs.h"

class QtDialogs final : public DialogService {
public:
  void MessageBox(const std::string& text) override;
  DialogAnswer QuestionBox(const std::string& text) override;
  void ErrorBox(const std::string& text) override;
  void Beep() override;
};
