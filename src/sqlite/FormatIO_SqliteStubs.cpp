// Placeholder definitions that let FormatIO_Sqlite link while its topics are
// written. Each returns the neutral failure value and does nothing else. The
// helper of a topic deletes that topic's group when its real definitions land.

#include "sqlite/FormatIO_Sqlite.h"

