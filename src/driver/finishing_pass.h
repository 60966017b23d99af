#pragma once

#include "common/conformal_data.h"
#include "driver/loop_description.h"
#include "spec/simulation_spec.h"

// Serial pass over the conformal face records after they have been collected:
// 1. limits each face's open area by the stability limit that its edges allow, dropping faces
//    with a negligible open area (and their edge data);
// 2. when any record exists, makes every edge shared by several recorded faces carry one
//    fraction: zero when any of them is negligible, else the largest of them.
// `edge_loop` holds the loop bounds of the edge phase (span ends plus one); `span` is the
// subdomain's span.
void finish_face_records(ConformalData& data, const SimulationSpec& spec, const LoopDescription& edge_loop,
                         const Span& span);

// Step 1 alone, for one record.
void limit_face_record(FaceRecord& record, const SimulationSpec& spec);
