using System.Reflection;
using System.Runtime.CompilerServices;

[assembly: AssemblyTitle("Ptz.Net")]
[assembly: AssemblyDescription(".NET binding of the ptz pan/tilt head library")]
[assembly: AssemblyVersion("1.0.0.0")]
[assembly: InternalsVisibleTo("Ptz.Net.Tests")]
