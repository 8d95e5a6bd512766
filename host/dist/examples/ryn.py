"""Ten seconds of delayed auditory feedback from Python (needs pywin32)."""
import time

import win32com.client

ryn = win32com.client.Dispatch("Ryn.VelRyn.1")
ryn.SetParameter("DELAY", 100)
ryn.Run()
time.sleep(10)
print("achieved delay:", ryn.GetParameter("DELAY"), "ms")
ryn.Stop()
