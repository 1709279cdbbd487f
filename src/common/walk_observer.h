// Lets a walk tell an optional observer what it visits, for a report that
// explains the walk's answer. No Windows header: the probe's header includes
// this file too.
//
// The monitor must stay within its size budget, so its own build of a walk
// leaves ZN_WALK_OBSERVERS undefined: every TellObserver then compiles to
// nothing and its arguments are never evaluated (they must have no side
// effects). The status report builds the same source files with
// ZN_WALK_OBSERVERS=1, so both programs run one walk and one rule.
#pragma once

//
// ObservedOnly(observed, plain) is observed in the report's build and plain in
// the monitor's, for a detail that only an observer is told (a value's type).
#if defined(ZN_WALK_OBSERVERS)
#define TellObserver(observer, callback, ...) \
    ((observer) ? (observer)->callback((observer)->context, __VA_ARGS__) : (void)0)
#define ObservedOnly(observed, plain) (observed)
#else
#define TellObserver(observer, callback, ...) ((void)(observer))
#define ObservedOnly(observed, plain) (plain)
#endif
