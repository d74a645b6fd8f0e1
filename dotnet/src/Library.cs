// The library as a whole: its error texts and the one native name it is
// loaded by.
using System;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Ptz
{
    public static class Library
    {
        static Library()
        {
            try
            {
                InstallResolver();
            }
            catch (Exception)
            {
                // Never a reason for the binding not to load: the runtime's own probing stands.
            }
        }

        // Runs the static constructor (once): the native name is resolved
        // before the first call, whichever class makes it.
        internal static void Init() { }

        // The library's explanation of an error kind and code: English, but
        // an OS error's text is the system's own, in its narrow code page on
        // Windows (UTF-8 elsewhere), read as such.
        public static string ErrorText(int kind, int code)
        {
            var buffer = new byte[512];
            Native.PTZ_GetErrorText(kind, code, buffer, buffer.Length);
            buffer[buffer.Length - 1] = 0;
            GCHandle pinned = GCHandle.Alloc(buffer, GCHandleType.Pinned);
            try
            {
                return Marshal.PtrToStringAnsi(pinned.AddrOfPinnedObject());
            }
            finally
            {
                pinned.Free();
            }
        }

        // Host names and device paths reach the library as C strings, which
        // end at the first NUL: a text with one would name something else.
        internal static void CheckText(string text, string name)
        {
            if (text.IndexOf('\0') >= 0) throw new ArgumentException("a NUL character in " + name, name);
        }

        public static string ErrorText(ErrorKind kind, int code) { return ErrorText((int)kind, code); }

        // On .NET Core 3 and later, "ptz" is resolved to libptz.so.1 on Linux
        // (the name the library is installed under) before the runtime's own
        // probing; Mono reads the same mapping from Ptz.Net.dll.config, and on
        // Windows "ptz" is ptz.dll by the runtime's own rule. Looked up by
        // reflection: the API is newer than netstandard2.0.
        internal static void InstallResolver()
        {
            if (Environment.OSVersion.Platform != PlatformID.Unix) return;
            Type nativeLibrary = Type.GetType("System.Runtime.InteropServices.NativeLibrary");
            Type resolverType = Type.GetType("System.Runtime.InteropServices.DllImportResolver");
            if (nativeLibrary == null || resolverType == null) return;
            MethodInfo set = nativeLibrary.GetMethod("SetDllImportResolver", new[] { typeof(Assembly), resolverType });
            tryLoad = nativeLibrary.GetMethod("TryLoad", new[] { typeof(string), typeof(Assembly),
                typeof(DllImportSearchPath?), typeof(IntPtr).MakeByRefType() });
            MethodInfo resolve = typeof(Library).GetMethod("Resolve", BindingFlags.NonPublic | BindingFlags.Static);
            if (set == null || tryLoad == null || resolve == null) return;
            try
            {
                set.Invoke(null, new object[] { typeof(Library).Assembly, Delegate.CreateDelegate(resolverType, resolve) });
            }
            catch (Exception)
            {
                // A resolver set already (by the host), or a runtime unlike
                // the one this was written for: the runtime's own probing stands.
            }
        }

        private static MethodInfo tryLoad;

        private static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? path)
        {
            if (name != Native.Library || tryLoad == null) return IntPtr.Zero;
            var args = new object[] { "libptz.so.1", assembly, path, IntPtr.Zero };
            return (bool)tryLoad.Invoke(null, args) ? (IntPtr)args[3] : IntPtr.Zero;
        }
    }
}
