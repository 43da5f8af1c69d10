#pragma once
// PCM processing nodes: channel remapping, bit-depth reduction and dither, gain, float
// conversion, peaks and spikes, and the analysis of the bits a stream really uses.
#include "pcm/voxRaw_analysis.h"
#include "pcm/voxRaw_channels.h"
#include "pcm/voxRaw_depth.h"
#include "pcm/voxRaw_gain.h"
