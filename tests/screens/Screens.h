#pragma once
// Windows the screenshot program renders: each source file registers its own.
#include <QString>
#include <functional>
#include <vector>

namespace vrlscreens {

// Renders windows into outDir as PNG files; the application folder is filled from the demo.
using Render = std::function<void(const QString& outDir)>;

struct Registry {
  static std::vector<std::pair<QString, Render>>& All() {
    static std::vector<std::pair<QString, Render>> all;
    return all;
  }
};

struct Register {
  Register(const QString& name, Render render) { Registry::All().emplace_back(name, std::move(render)); }
};

}  // namespace vrlscreens
