#pragma once
// Initial state of the run: grid coordinates, the Coriolis parameter, a
// uniform flow of 6 m/s over the interior with its matching background terms,
// a flat height and a clean domain.
void init(float* u, float* v, float* h, float* q, float* gpx, float* gpy, float* fx, float* fy, float* x, float* y,
          const int& ids, const int& ide, const int& jds, const int& jde, const int& ims, const int& ime,
          const int& jms, const int& jme);
