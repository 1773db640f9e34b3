// entryhook.h - a hook on the calls that add or remove a directory entry or write to a
// named file, for a program linked with the matching --wrap options.
#pragma once

namespace qmtest {

// A program linked with -Wl,--wrap=unlink,--wrap=link,--wrap=linkat (the UART lock test)
// runs EntryHook (when set) before every such call whose removed or new name is HookedName;
// a non-zero return fails the call with that errno instead. The call names "unlink", "link"
// and "linkat"; with --wrap=pwrite also "pwrite", for a write to an open file of that name.
// Without the --wrap options, setting them has no effect.
extern const char *HookedName;
extern int (*EntryHook)(const char *call);

} // namespace qmtest
