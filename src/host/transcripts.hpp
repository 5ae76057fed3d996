// The module-level functions behind `sekva transcripts` and sekva_ml's transcripts: private to the
// package (underscored), each through the argument binder.
#pragma once

#include <Python.h>

namespace sekva::host {

// _read_annotation(text): the transcripts of the bytes of a GTF or GFF3 file, read by the engine,
// as an opaque handle; ValueError "line N: ..." for a line it cannot read.
PyObject* read_annotation_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// _annotation_transcripts(annotation): a list of (id, chrom, strand, exons, cds, phase).
PyObject* annotation_transcripts_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);
// _write_transcripts(fasta, annotation, exons=None, cds=None, proteins=None, projected=False,
// stop='.', warn=None): gffread's -w, -x and -y text to the outputs given (as fetch_bed's out),
// warn(bytes) called for each short CDS; None, or (chrom, length or None, id, start, end) of the
// first transcript the genome cannot give, where the writing stopped.
PyObject* write_transcripts_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace sekva::host
