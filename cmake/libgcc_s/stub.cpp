// Link-time stand-in for libgcc_s.so.1, the unwinder every glibc system has:
// the names and symbol versions of its _Unwind_* interface, nothing more.
// The module is linked against it and loads the real one. Only the names
// matter to the linker, so every function has the same empty body.
#define JADEFOX_STUB(name) extern "C" void name() {}

// GCC_3.0
JADEFOX_STUB(_Unwind_DeleteException)
JADEFOX_STUB(_Unwind_Find_FDE)
JADEFOX_STUB(_Unwind_ForcedUnwind)
JADEFOX_STUB(_Unwind_GetDataRelBase)
JADEFOX_STUB(_Unwind_GetGR)
JADEFOX_STUB(_Unwind_GetIP)
JADEFOX_STUB(_Unwind_GetLanguageSpecificData)
JADEFOX_STUB(_Unwind_GetRegionStart)
JADEFOX_STUB(_Unwind_GetTextRelBase)
JADEFOX_STUB(_Unwind_RaiseException)
JADEFOX_STUB(_Unwind_Resume)
JADEFOX_STUB(_Unwind_SetGR)
JADEFOX_STUB(_Unwind_SetIP)
// GCC_3.3
JADEFOX_STUB(_Unwind_Backtrace)
JADEFOX_STUB(_Unwind_FindEnclosingFunction)
JADEFOX_STUB(_Unwind_GetCFA)
JADEFOX_STUB(_Unwind_Resume_or_Rethrow)
// GCC_4.2.0
JADEFOX_STUB(_Unwind_GetIPInfo)
