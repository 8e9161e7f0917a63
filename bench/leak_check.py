"""Reference counts, traced memory and RSS over many mixed calls: python bench/leak_check.py"""
import os, sys, gc, tracemalloc, kelvora
wm = kelvora.witt_mao_magnification
def rss(): return int(open('/proc/self/statm').read().split()[1])*os.sysconf('SC_PAGE_SIZE')
args=[[0.5,1.0,2.0],'x',5,[1.0,'a'],[1]]
def batch(n):
    for i in range(n):
        try: wm(args[i%5],1.0,0.1)
        except TypeError: pass
for _ in range(2): batch(50000)
gc.collect(); tracemalloc.start(); r0=rss(); rc0=[sys.getrefcount(a) for a in args]; t0=tracemalloc.get_traced_memory()[0]
batch(300000); gc.collect()
print("calls=300000 rss_growth_bytes=", rss()-r0, "traced_growth_bytes=", tracemalloc.get_traced_memory()[0]-t0, "refcount_delta=", [sys.getrefcount(a)-b for a,b in zip(args,rc0)], "exc_left=", sys.exc_info())
rc1=[sys.getrefcount(a) for a in args]; batch(300000); gc.collect()
print("second batch refcount_delta=", [sys.getrefcount(a)-b for a,b in zip(args,rc1)])
