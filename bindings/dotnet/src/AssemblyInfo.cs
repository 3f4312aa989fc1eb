using System.Reflection;
using System.Runtime.CompilerServices;

[assembly: AssemblyTitle("Qd500")]
[assembly: AssemblyDescription("The card reader from .NET: a binding over qd500.h")]
[assembly: AssemblyVersion("0.2.0.0")]
[assembly: InternalsVisibleTo("Qd500.Tests")]
[assembly: InternalsVisibleTo("Qd500.Bench")]
