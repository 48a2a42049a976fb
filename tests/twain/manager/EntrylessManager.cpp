// A library named like the manager that lacks its entry.
extern "C" __attribute__((visibility("default"))) int NotTheEntry() {
  return 0;
}
