#pragma once

#include <string>
#include <vector>

#include "analysis/Beam.h"
#include "analysis/Stability.h"
#include "tools/record/NexusWriter.h"

// What the recorder measures the beam with: the server's region and dark frame, so that its
// figures are the server's own.
struct BeamSetup {
    std::string web;  // HOST:PORT they came from; "" when not asked (whole frame, no dark)
    BeamRoi roi;      // width 0: the whole frame
    DarkFrame dark;   // frames 0: none
};

// Reads the region (GET /api/beam) and the dark frame in use (GET /api/dark) from the web
// server at `web`. False with one line in `error`.
bool FetchBeamSetup(const std::string& web, int timeoutMs, BeamSetup* setup, std::string* error);

// Measures the beam of one frame into the row's beam columns.
void MeasureBeam(CBeamAnalyzer& analyzer, const uint8_t* gray, uint32_t width, uint32_t height,
                 const BeamSetup& setup, FrameRow* row);

// The attributes of /entry/beam saying what the beam was measured with.
std::vector<Hdf5Attribute> SetupAttributes(const BeamSetup& setup);
// The stability of the recording's valid frames, as attributes of /entry/beam.
std::vector<Hdf5Attribute> StabilityAttributes(const StabilityResult& s);
