#pragma once
// The polygon model and its drawing: TFF7PPart::Draw (defined here) sends the
// model's triangles in OpenGL immediate mode.

#include "preview/ff7pmodel.h"
