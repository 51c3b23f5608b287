#include "qmkutils/platform/homesearch.h"

#include <algorithm>

#include "qmkutils/platform/environment.h"
#include "qmkutils/platform/internal/installation.h"
#include "qmkutils/platform/internal/registry.h"

namespace dp {
namespace {

namespace in = installation;

// Locates and reads one store file; an unreadable file leaves `text` empty.
HomeSearchStore LoadStore(registry::Root root, std::string* text) {
  registry::StoreLocation location = registry::LocateStore(root);
  HomeSearchStore store{std::move(location.candidates), {}};
  if (registry::ReadStore(location.file, text)) store.file = std::move(location.file);
  return store;
}

}  // namespace

HomeSearch SearchHome(const std::string& product, const std::string& envVar) {
  HomeSearch search;
  search.variable = envVar.empty() ? in::kHomeVariable : envVar;
  search.variableValue = Environment::Get(search.variable);
  std::string home = search.variableValue;
  if (home.empty()) {
    std::string userText;
    std::string machineText;
    search.currentUser = LoadStore(registry::Root::kCurrentUser, &userText);
    search.localMachine = LoadStore(registry::Root::kLocalMachine, &machineText);
    search.keys = {product.empty() ? in::kStationKey : in::kProductKeyPrefix + product,
                   in::kPocketKey, in::kCourierKey};
    search.valueName = in::kInstallationPathValue;
    for (const std::string& key : search.keys) {
      for (const bool currentUser : {true, false}) {
        const std::string& text = currentUser ? userText : machineText;
        if (registry::ReadValueFromText(text, key, search.valueName, &home) && !home.empty()) {
          search.foundKey = key;
          search.foundForCurrentUser = currentUser;
          break;
        }
      }
      if (!search.foundKey.empty()) break;
    }
    if (search.foundKey.empty()) return search;
  }
  std::replace(home.begin(), home.end(), '\\', '/');
  if (!home.empty() && home.back() == '/') home.pop_back();
  search.found = true;
  search.home = std::move(home);
  return search;
}

}  // namespace dp
