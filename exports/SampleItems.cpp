// Items the module has always exported beside its interface; nothing in the
// library uses them.
#include "qd500dll.h"

CRido::CRido() = default;

CRido& CRido::operator=(const CRido&) { return *this; }

int fnRido(void) { return 42; }

int nRido = 0;
