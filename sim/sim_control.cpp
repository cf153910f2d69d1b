// Loading .devtree files and watching the calls: the simulation's side of the
// in-memory configuration manager.
#include "sim/sim_control.h"

#include <fstream>
#include <iterator>

#include "memcm/memcm.h"
#include "sim/sim_tree.h"

namespace kq::sim {
namespace {

struct Watch {
  CallCounts counts;
  void (*beforeCall)() = nullptr;
};

Watch& watch() {
  static Watch w;
  return w;
}

void observe(memcm::Call call) {
  Watch& w = watch();
  if (w.beforeCall) w.beforeCall();
  switch (call) {
    case memcm::Call::Locate: ++w.counts.locate; break;
    case memcm::Call::Property: ++w.counts.property; break;
    case memcm::Call::ListSize: ++w.counts.listSize; break;
    case memcm::Call::List: ++w.counts.list; break;
  }
}

// Every entry point starts the watch, so calls are counted from the first
// use of the simulation on, whichever it is.
Watch& watching() {
  memcm::setCallObserver(&observe);
  return watch();
}

}  // namespace

bool loadTreeText(const std::string& utf8Text, const std::string& name, std::string* error) {
  watching();
  memcm::Tree tree;
  std::string ignored;
  if (!parseDevtree(utf8Text, name, &tree, error ? error : &ignored)) return false;
  memcm::putInForce(std::move(tree));
  return true;
}

bool loadTreeFile(const std::string& path, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (error) *error = path + ": cannot open the file";
    return false;
  }
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return loadTreeText(text, path, error);
}

CallCounts callCounts() { return watching().counts; }

void resetCallCounts() { watching().counts = CallCounts(); }

void setBeforeCallHook(void (*hook)()) { watching().beforeCall = hook; }

}  // namespace kq::sim
