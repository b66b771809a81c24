// Declares the routines of imports.inc that one module exports; the
// includer defines PONTOR_DECLARE_NTOSKRNL(declaration) and
// PONTOR_DECLARE_FLTMGR(declaration), each as its argument or as nothing.
// Included once per module, so it has no include guard.

#define PONTOR_IMPORT(module, type, name, parameters) PONTOR_DECLARE_##module(type name parameters;)
#define PONTOR_RUNTIME_IMPORT(module, name)
extern "C" {
#include "imports.inc"
}
#undef PONTOR_IMPORT
#undef PONTOR_RUNTIME_IMPORT
#undef PONTOR_DECLARE_NTOSKRNL
#undef PONTOR_DECLARE_FLTMGR
