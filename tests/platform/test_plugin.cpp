// A plug-in for the shared-library tests. Its counter starts again at each
// fresh load, which tells a reload from a library that stayed loaded.
namespace {

int s_calls = 0;

}  // namespace

extern "C" __attribute__((visibility("default"))) int QmkTestPluginCalls() { return ++s_calls; }
