// Placeholders for the editor operations that the lifecycle and the frame call and that are not
// built yet: each does nothing (or answers "nothing there"), so that an editor opens, draws its
// background and reacts to no input. Each group below is replaced by its own file as it lands;
// delete a placeholder in the same commit that adds the real function.
#include "editor.h"

