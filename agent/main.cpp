// siptrunk-agent: no arguments, no environment of its own; see process_entry.h.
#include "agent/process_entry.h"

int main() { return RunSipTrunkAgent(); }
