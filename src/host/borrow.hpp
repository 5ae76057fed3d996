// Borrow guards: an object is borrowed for reading (shared) or writing (exclusive) for the length
// of a call. Under the interpreter lock a conflict can only come from re-entry, when Python code
// run during a conversion reaches back into an object that is in the middle of a change.
#pragma once

#include <Python.h>

namespace sekva::host {

// The borrow state kept in an object: 0 free, > 0 shared borrows, -1 borrowed for writing.
using BorrowFlag = int;

template <bool Exclusive>
class Borrow {
public:
    explicit Borrow(BorrowFlag& flag) : flag_(flag) {
        if (Exclusive ? flag_ != 0 : flag_ < 0) {
            // Writing is refused while anyone reads or writes; reading while someone writes. The
            // messages are kept for compatibility (tests pin them).
            PyErr_SetString(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
            ok_ = false;
            return;
        }
        flag_ = Exclusive ? -1 : flag_ + 1;
    }
    ~Borrow() {
        if (ok_) flag_ = Exclusive ? 0 : flag_ - 1;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    // False, with the RuntimeError set, when the borrow conflicts with one already held.
    bool ok() const { return ok_; }

private:
    BorrowFlag& flag_;
    bool ok_ = true;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

}  // namespace sekva::host
