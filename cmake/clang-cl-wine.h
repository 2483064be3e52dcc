/* Included ahead of every source by the clang-cl toolchain files. On i386
 * Wine's winnt.h defines these functions inline, and clang-cl has them as
 * builtins: a definition of a builtin is an error. Renamed, the inline
 * definitions stay usable through winnt.h's own macros. */
#if defined(_M_IX86)
#define _InterlockedAnd64 wine_InterlockedAnd64
#define _InterlockedCompareExchangePointer \
  wine_InterlockedCompareExchangePointer
#define _InterlockedDecrement64 wine_InterlockedDecrement64
#define _InterlockedExchangeAdd64 wine_InterlockedExchangeAdd64
#define _InterlockedExchangePointer wine_InterlockedExchangePointer
#define _InterlockedIncrement64 wine_InterlockedIncrement64
#define _InterlockedOr64 wine_InterlockedOr64
#define _InterlockedXor64 wine_InterlockedXor64
#elif defined(_M_X64)
#define _InterlockedCompareExchange128 wine_InterlockedCompareExchange128
#endif
