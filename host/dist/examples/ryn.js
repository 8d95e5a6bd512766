// Ten seconds of frequency-altered feedback (shift +5, phase vocoder).
var ryn = new ActiveXObject("Ryn.VelRyn.1");
try {
  ryn.SetParameter("DELAY", 60);
  ryn.SetParameter("FREQUENCY_SHIFT", 5);
  ryn.SetParameter("ZEL_MODE", 1);
  ryn.Run();
  WScript.Sleep(10000);
  WScript.Echo("achieved delay: " + ryn.GetParameter("DELAY") + " ms");
  ryn.Stop();
} catch (e) {
  WScript.Echo("failed: " + e.description + " (" + (e.number >>> 0).toString(16) + ")");
}
