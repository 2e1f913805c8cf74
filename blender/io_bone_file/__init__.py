"""Bone files in Blender: File > Import/Export > Bone file (.bone).

Import builds an armature whose rest pose is the clip's pose at time 0, an
action with one keyframe per key per bone, and, with a skin file, a point
mesh with one vertex group per bone under an Armature modifier. Export writes
the active armature's action as a bone file and its mesh's vertex groups as a
skin file. Reading and writing go through the bone_import package.
"""
bl_info = {
    "name": "Bone files (.bone, .skin)",
    "author": "bone_import",
    "version": (0, 1, 0),
    "blender": (3, 4, 0),
    "location": "File > Import-Export",
    "description": "Import and export skeletal animation as bone files, and skins as skin files",
    "category": "Import-Export",
}

import bpy
from bpy.props import BoolProperty, StringProperty
from bpy_extras.io_utils import ExportHelper, ImportHelper

from . import convert


class IMPORT_SCENE_OT_bone_file(bpy.types.Operator, ImportHelper):
    """Import a bone file (and a skin of a skin file) as an armature with an action"""

    bl_idname = "import_scene.bone_file"
    bl_label = "Import Bone File"
    bl_options = {"REGISTER", "UNDO"}
    filename_ext = ".bone"
    filter_glob: StringProperty(default="*.bone", options={"HIDDEN"})
    skin_filepath: StringProperty(name="Skin file", description="A skin file to import with it", default="")
    skin_name: StringProperty(name="Skin", description="The skin to import (default: the file's only skin)",
                              default="")

    def execute(self, context):
        try:
            clip = convert.read_clip(self.filepath, self.skin_filepath, self.skin_name)
        except convert.READ_ERRORS as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        convert.build(context, clip)
        return {"FINISHED"}


class EXPORT_SCENE_OT_bone_file(bpy.types.Operator, ExportHelper):
    """Export the active armature's action as a bone file (and its mesh as a skin file)"""

    bl_idname = "export_scene.bone_file"
    bl_label = "Export Bone File"
    filename_ext = ".bone"
    filter_glob: StringProperty(default="*.bone", options={"HIDDEN"})
    skin_filepath: StringProperty(name="Skin file", description="Also write the armature's mesh here", default="")
    every_frame: BoolProperty(name="Key every frame",
                              description="A key at every frame of the scene instead of at the action's keyframes",
                              default=False)

    def execute(self, context):
        try:
            convert.export(context, self.filepath, self.skin_filepath, self.every_frame)
        except convert.READ_ERRORS as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        return {"FINISHED"}


def menu_import(self, context):
    self.layout.operator(IMPORT_SCENE_OT_bone_file.bl_idname, text="Bone file (.bone)")


def menu_export(self, context):
    self.layout.operator(EXPORT_SCENE_OT_bone_file.bl_idname, text="Bone file (.bone)")


CLASSES = (IMPORT_SCENE_OT_bone_file, EXPORT_SCENE_OT_bone_file)


def register():
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.TOPBAR_MT_file_import.append(menu_import)
    bpy.types.TOPBAR_MT_file_export.append(menu_export)


def unregister():
    bpy.types.TOPBAR_MT_file_export.remove(menu_export)
    bpy.types.TOPBAR_MT_file_import.remove(menu_import)
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
