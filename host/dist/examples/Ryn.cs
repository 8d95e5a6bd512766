// Build: csc Ryn.cs   (late-bound through IDispatch; no interop assembly needed)
using System;
using System.Threading;

class RynExample {
  static void Main() {
    dynamic ryn = Activator.CreateInstance(Type.GetTypeFromProgID("Ryn.VelRyn.1"));
    ryn.SetParameter("DELAY", 100);
    ryn.Run();
    Thread.Sleep(10000);
    Console.WriteLine("achieved delay: {0} ms", ryn.GetParameter("DELAY"));
    ryn.Stop();
  }
}
