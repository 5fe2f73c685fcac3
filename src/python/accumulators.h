// The Python class Accumulator (what Count(), Values(into=...) and the other
// constructors return) and the readers that turn the `queries` and
// `accumulators` arguments into query texts and accumulator requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/drivers/accumulator.h"
#include "python/py.h"

namespace jorvane::py {

// The accumulator kinds are the engine's own, names included
// (engine::accumulator_kind_name, engine::accumulator_constructor_name).
using AccKind = engine::AccumulatorKind;

// One accumulator request: its kind, the optional into= destination and the
// numeric flag (only meaningful for Values and ValuesUnique).
struct AccumulatorSpec {
    AccKind kind = AccKind::Count;
    Ref into;
    bool numeric = false;
};

// The Accumulator type object (created on first use, kept for the process).
PyObject* accumulator_type();

// Readers of query and accumulator arguments. They return false with a
// ValueError set on refusal.
bool extract_one_accumulator(PyObject* obj, AccumulatorSpec& out);
bool extract_accumulators(PyObject* obj, std::vector<AccumulatorSpec>& out);
bool extract_query_strings(PyObject* obj, std::vector<std::string>& out);

// The constructor functions Count ... ValuesUnique, in registration order,
// terminated by an empty entry.
PyMethodDef* accumulator_constructors();

}  // namespace jorvane::py
