// Descriptors read once into plain data for the native kernels: labels interned to integers,
// trees flattened, behaviour vectors viewed in place.
#pragma once

#include <memory>
#include <vector>

#include "kernels/similarity.hpp"
#include "runtime/labels.hpp"
#include "runtime/numpy.hpp"

namespace kt {

struct NativeDescriptor {
    kernels::StructureFields structure;
    kernels::BehaviourFields behaviour;
    std::unique_ptr<Float64View> vector;  // keeps the behaviour vector's buffer
};

// Reads a descriptor of the shapes `describe` produces. Returns false (with no Python error
// set) for anything else, including a field that raises an Exception when read; such
// descriptors take the literal path.
bool read_native(handle descriptor, Labels& labels, NativeDescriptor& out);

// Every descriptor of a sequence in native form, or false when any is not of the standard
// shapes.
bool read_all_native(handle seq, Labels& labels, std::vector<NativeDescriptor>& out);

// exp(-0.25 * d) for d = 0 .. max_distance, each computed by numpy as the literal path does.
std::vector<double> tree_weights(int max_distance);

}  // namespace kt
