// Writes arguments and the exact result bits of the elliptic kernels and the
// ring kernel for a fixed pseudo-random set of arguments (or the failure
// message), as tests/data/kernel_bits.csv.
//
// The committed table was written by the kernels as they stood before their
// performance work (commit 745ba0f); tests/cpp/test_kernel_bits.cpp checks
// that the current kernels reproduce every bit.  The CMake target
// gen_kernel_bits (tools/CMakeLists.txt, built with the tests) compiles it
// with the project's settings.  Regenerate only on purpose:
//
//   cmake --build build/dev --target gen_kernel_bits
//   build/dev/tools/gen_kernel_bits > tests/data/kernel_bits.csv
//
// (the two comment lines at the top of the committed table are not written
// by the tool: they record where that table came from).
#include "numeric/elliptic.hpp"
#include "lib/models.hpp"
#include <bit>
#include <cstdio>
#include <cstdint>
#include <random>
using namespace kelvora::numeric;
void row(const char* f, double a, double b, double c, double d, const Expected<double>& e){
  if (e) printf("%s,%a,%a,%a,%a,%016llx\n", f, a,b,c,d,(unsigned long long)std::bit_cast<std::uint64_t>(*e));
  else printf("%s,%a,%a,%a,%a,%s\n", f, a,b,c,d,e.error().message);
}
int main(){
  std::mt19937_64 rng(20261208); std::uniform_real_distribution<double> u(0,1);
  printf("function,a,b,c,d,result\n");
  for(int i=0;i<60;i++){
    double x=u(rng)*3,y=u(rng)*3,z=u(rng)*3,p=u(rng)*4-1; if(i%5==0)x=0; if(i%4==0)p=-p*3;
    row("elliprj",x,y,z,p,elliprj(x,y,z,p)); row("elliprf",x,y,z,0,elliprf(x,y,z)); row("elliprd",x,y,z+0.1,0,elliprd(x,y,z+0.1)); row("elliprc",x,p,0,0,elliprc(x,p));
    double n=u(rng)*2-0.5, m=u(rng)*1.1-0.1; row("ellippi",n,m,0,0,ellippi(n,m)); row("ellipk",m,0,0,0,ellipk(m)); row("ellipe",m,0,0,0,ellipe(m));
    double l=u(rng)*3, r=u(rng), rs=0.05+u(rng); row("heyrovsky",l,r,1.0,rs,kelvora::heyrovsky_magnification(l,r,1.0,rs));
  }
  // ring-kernel arguments near the ring and far out
  for(int i=0;i<40;i++){ double r=u(rng); double l=r+(u(rng)-0.5)*4e-4; row("heyrovsky",l,r,1.0,0.05,kelvora::heyrovsky_magnification(l,r,1.0,0.05)); }
}
