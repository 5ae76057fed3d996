// Borrow guards: an object is borrowed for reading (shared) or writing (exclusive) for the length
// of a call. Under the interpreter lock a conflict can only come from re-entry, when Python code
// run during a conversion reaches back into an object that is in the middle of a change.
#pragma once

#include <Python.h>

namespace sekva::host {

// The borrow state kept in an object: 0 free, > 0 shared borrows, -1 borrowed for writing.
using BorrowFlag = int;

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_ < 0) {
            refuse();
            ok_ = false;
            return;
        }
        ++flag_;
    }
    ~SharedBorrow() {
        if (ok_) --flag_;
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    // False, with RuntimeError "Already mutably borrowed" set, when the object is being written.
    bool ok() const { return ok_; }

private:
    [[gnu::cold]] static void refuse() { PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed"); }
    BorrowFlag& flag_;
    bool ok_ = true;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& flag) : flag_(flag) {
        if (flag_ != 0) {
            refuse();
            ok_ = false;
            return;
        }
        flag_ = -1;
    }
    ~ExclusiveBorrow() {
        if (ok_) flag_ = 0;
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    // False, with RuntimeError "Already borrowed" set, when the object is borrowed at all.
    bool ok() const { return ok_; }

private:
    [[gnu::cold]] static void refuse() { PyErr_SetString(PyExc_RuntimeError, "Already borrowed"); }
    BorrowFlag& flag_;
    bool ok_ = true;
};

}  // namespace sekva::host
