// Environment variables a test changes, put back as they were when it ends
// (unset again when they were unset).
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <utility>
#include <vector>

class SavedEnvironment {
public:
    // Remembers `name` as it is now; call before changing it.
    void Save(const char* name) { saved_.emplace_back(name, qgetenv(name)); }
    void Restore()
    {
        for (const auto& [name, value] : saved_) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        }
        saved_.clear();
    }

private:
    std::vector<std::pair<const char*, QByteArray>> saved_;
};
