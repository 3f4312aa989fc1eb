// The names the drop-in DLL exports its items under: the functions decorated
// as standard-call on 32-bit x86 and plain on 64-bit Windows, the sample
// items as Microsoft C++ mangles them for each.
#pragma once

#if defined(_WIN64)
#define QD500_EXPORT_NAME(name, bytes) #name
#define QD500_CRIDO_CTOR "??0CRido@@QEAA@XZ"
#define QD500_CRIDO_ASSIGN "??4CRido@@QEAAAEAV0@AEBV0@@Z"
#define QD500_THISCALL
#else
#define QD500_EXPORT_NAME(name, bytes) "_" #name "@" #bytes
#define QD500_CRIDO_CTOR "??0CRido@@QAE@XZ"
#define QD500_CRIDO_ASSIGN "??4CRido@@QAEAAV0@ABV0@@Z"
#define QD500_THISCALL __thiscall
#endif
